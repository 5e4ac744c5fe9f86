// Idle CPU of the open window and how long closing it and removing a reader
// take, with the in-memory PC/SC library (fake build) or the real pcscd with
// vpcd's two readers (pcscd build, run through tests/pcscd/in-namespace.sh).
#include "main/MainForm.h"
#include "ui_MainForm.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <thread>

#ifdef DRAVIK_BENCH_FAKE
#include "FakePcsc.h"
#else
#include "Pcscd.h"
#endif

using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The program's own idle: its event loop, woken only by what happens.
void ProcessFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

bool ProcessUntil(const std::function<bool()>& done) {
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!done() && Clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Percent of one core the open window uses over `seconds` of idling.
double IdleCpu(const std::string& library, int seconds) {
    TMainForm window(library);
    ProcessFor(std::chrono::milliseconds(500)); // first reports settle
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    ProcessFor(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return 100.0 * (CpuSeconds() - cpuStart) / wall;
}

// Milliseconds to destroy a window whose `readers` readers are all listed.
double CloseMs(const std::string& library, int readers) {
    auto window = std::make_unique<TMainForm>(library);
    if (!ProcessUntil([&] {
            return window->Form()->ReaderListBox->count() == readers &&
                   window->ReaderObjectAt(readers - 1)->CardState != csUnknown;
        })) {
        std::fprintf(stderr, "readers did not show up\n");
        return -1;
    }
    ProcessFor(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    window.reset();
    return Ms(Clock::now() - start);
}

void PrintRow(const char* what, double value, const char* unit, double target) {
    std::printf("%-58s %9.2f %-3s (target < %g)\n", what, value, unit, target);
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 10;

#ifdef DRAVIK_BENCH_FAKE
    const std::string library = FAKEPCSC_PATH;
    fakepcsc::Reset();
    for (int i = 0; i < 4; ++i) {
        const std::string name = "Reader " + std::to_string(i);
        fakepcsc::AddReader(name);
        fakepcsc::InsertCard(name, {0x3B, 0x80, 0x80, 0x01, 0x01});
    }
    PrintRow("idle CPU, 4 readers with cards (in-memory PC/SC), % core",
             IdleCpu(library, idleSeconds), "%", 1);
    fakepcsc::SetServiceUp(false);
    PrintRow("idle CPU, no PC/SC service, % core", IdleCpu(library, idleSeconds), "%", 1);
    fakepcsc::Reset();
    for (int i = 0; i < 8; ++i) {
        fakepcsc::AddReader("Reader " + std::to_string(i));
    }
    double worst = 0;
    double total = 0;
    const int rounds = 10;
    for (int i = 0; i < rounds; ++i) {
        const double ms = CloseMs(library, 8);
        worst = std::max(worst, ms);
        total += ms;
    }
    PrintRow("close with 8 readers (in-memory PC/SC), mean ms", total / rounds, "ms", 100);
    PrintRow("close with 8 readers (in-memory PC/SC), worst ms", worst, "ms", 100);
    {
        TMainForm window(library);
        ProcessUntil([&] { return window.Form()->ReaderListBox->count() == 8; });
        ProcessFor(std::chrono::milliseconds(300));
        const auto start = Clock::now();
        fakepcsc::RemoveReader("Reader 3");
        ProcessUntil([&] { return window.Form()->ReaderListBox->count() == 7; });
        PrintRow("remove one reader until its item is gone, ms", Ms(Clock::now() - start), "ms",
                 250);
    }
#else
    TPcscd pcscd;
    std::string error;
    if (!pcscd.Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    PrintRow("idle CPU, pcscd with vpcd's 2 readers, % core", IdleCpu({}, idleSeconds), "%", 1);
    double worst = 0;
    double total = 0;
    const int rounds = 5;
    for (int i = 0; i < rounds; ++i) {
        const double ms = CloseMs({}, 2);
        worst = std::max(worst, ms);
        total += ms;
    }
    PrintRow("close with vpcd's 2 readers (real pcscd), mean ms", total / rounds, "ms", 100);
    PrintRow("close with vpcd's 2 readers (real pcscd), worst ms", worst, "ms", 100);
    pcscd.Stop();
    PrintRow("idle CPU, no pcscd running, % core", IdleCpu({}, idleSeconds), "%", 1);
#endif
    return 0;
}
