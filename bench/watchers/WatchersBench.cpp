// Idle CPU of the open window and how long closing it and removing a reader
// take, with the in-memory PC/SC library (fake build) or the real pcscd with
// vpcd's two readers and with four vpcd configurations of two readers each
// (pcscd build, run through tests/pcscd/in-namespace.sh).
#include "main/MainForm.h"
#include "ui_MainForm.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/resource.h>
#include <thread>

#ifdef DRAVIK_BENCH_FAKE
#include "FakePcsc.h"
#else
#include "Pcscd.h"

#include <unistd.h>
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

#ifndef DRAVIK_BENCH_FAKE
// Window + pcscd with 8 vpcd readers, measured by this benchmark while every
// watcher still woke each 250 ms (and the list watcher listed after each).
constexpr double kBefore8Readers = 1.27;

// The daemon's user and system time so far, from /proc/<pid>/stat; -1 if unreadable.
double ProcessCpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) {
        return -1;
    }
    // The command name may hold spaces: the fields are counted after its ')'.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoull(field);
        } else if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// vpcd once per port pair, each configuration two readers on ports base and
// base + 1. pcscd numbers identical names only for hot-plugged readers or
// drivers that declare several channels, which vpcd does not: each needs a
// name of its own ("Virtual PCD 00 00", "Virtual PCD 1 00 00", ...).
std::string WriteReaderConf(int configurations) {
    char folder[] = "/tmp/dravik-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return {};
    }
    const std::string path = std::string(folder) + "/reader.conf";
    std::ofstream file(path);
    for (int i = 0; i < configurations; ++i) {
        const int port = 0x8C7B + 2 * i;
        file << "FRIENDLYNAME \"Virtual PCD" << (i == 0 ? std::string() : " " + std::to_string(i))
             << "\"\n"
             << "DEVICENAME   /dev/null:0x" << std::hex << port << std::dec << "\n"
             << "LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"
             << "CHANNELID    0x" << std::hex << port << std::dec << "\n\n";
    }
    return file ? path : std::string();
}

struct TIdleShare {
    double Window = 0;
    double Daemon = 0;
};

// Percent of one core the window and pcscd use over `seconds`, the window open
// (or not) once all `readers` readers are listed with their card states.
TIdleShare IdleCpuWithDaemon(const TPcscd& pcscd, bool open, int readers, int seconds) {
    std::unique_ptr<TMainForm> window;
    if (open) {
        window = std::make_unique<TMainForm>(std::string());
        if (!ProcessUntil([&] {
                return window->Form()->ReaderListBox->count() == readers &&
                       window->ReaderObjectAt(readers - 1)->CardState != csUnknown;
            })) {
            std::fprintf(stderr, "the %d readers did not show up (%d listed)\n", readers,
                         window->Form()->ReaderListBox->count());
            return {-1, -1};
        }
    }
    ProcessFor(std::chrono::milliseconds(500)); // first reports settle
    const double windowStart = CpuSeconds();
    const double daemonStart = ProcessCpuSeconds(pcscd.ProcessId());
    const auto start = Clock::now();
    ProcessFor(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return {100.0 * (CpuSeconds() - windowStart) / wall,
            100.0 * (ProcessCpuSeconds(pcscd.ProcessId()) - daemonStart) / wall};
}
#endif

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

    // Eight readers: the window's nine watchers and pcscd together.
    const int wideSeconds = argc > 2 ? std::atoi(argv[2]) : 30;
    const std::string conf = WriteReaderConf(4);
    if (conf.empty() || !pcscd.Start(&error, conf)) {
        std::fprintf(stderr, "pcscd with 8 readers: %s\n",
                     conf.empty() ? "no conf" : error.c_str());
        return 1;
    }
    const TIdleShare alone = IdleCpuWithDaemon(pcscd, false, 8, wideSeconds > 0 ? wideSeconds : 1);
    const TIdleShare open = IdleCpuWithDaemon(pcscd, true, 8, wideSeconds);
    PrintRow("idle CPU, 8 vpcd readers, pcscd alone, % core", alone.Daemon, "%", 0.3);
    PrintRow("idle CPU, 8 vpcd readers, window, % core", open.Window, "%", 0.3);
    PrintRow("idle CPU, 8 vpcd readers, pcscd with the window, % core", open.Daemon, "%", 0.3);
    PrintRow("idle CPU, 8 vpcd readers, window + pcscd, % core", open.Window + open.Daemon, "%",
             0.3);
    PrintRow("  the same with 250 ms waits (recorded before), % core", kBefore8Readers, "%", 0.3);
    std::printf("%-58s %9.2f x\n", "  window + pcscd over pcscd alone",
                (open.Window + open.Daemon) / std::max(alone.Daemon, 0.01));
    worst = 0;
    total = 0;
    for (int i = 0; i < rounds; ++i) {
        const double ms = CloseMs({}, 8);
        worst = std::max(worst, ms);
        total += ms;
    }
    PrintRow("close with 8 vpcd readers (real pcscd), mean ms", total / rounds, "ms", 100);
    PrintRow("close with 8 vpcd readers (real pcscd), worst ms", worst, "ms", 100);
    pcscd.Stop();
    std::filesystem::remove_all(std::filesystem::path(conf).parent_path());
#endif
    return 0;
}
