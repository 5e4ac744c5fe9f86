// Soak: the window stays open (offscreen) while a card goes in and out of its
// reader 10,000 times and a second reader is plugged in and pulled out 1,000
// times, with the in-memory PC/SC library. Every change is awaited in the event
// loop, as the running program sees it. Prints the heap and resident memory,
// threads, open descriptors and the library's open contexts and card handles
// before and after, what the heap grew by per log line against the bytes of the
// lines themselves, and the CPU the idle window takes before and after.
#include "FakePcsc.h"
#include "main/LogModel.h"
#include "main/MainForm.h"
#include "ui_MainForm.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <string>
#include <sys/resource.h>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kCardCycles = 10000;
// A snapshot after the first cycles tells one-time growth (caches that fill
// once) from growth per cycle.
constexpr int kFirstCardCycles = 1000;
constexpr int kReaderCycles = 1000;
const std::string kReader = "Soak Reader 00";
const std::string kSecondReader = "Soak Reader 01";
const std::vector<std::uint8_t> kAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};

// Bytes in use by malloc: small blocks in its arenas and large ones (the log's
// buffers soon are) in mappings of their own.
std::size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long VmRssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

int Entries(const char* folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

// The program's own idle: its event loop, woken only by what happens.
void Idle(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds; false after 5 s. A change reaches the
// window as a queued call that wakes the loop; the timer only bounds the wait.
bool WaitFor(const std::function<bool()>& done) {
    QTimer bound;
    bound.start(50);
    const auto end = Clock::now() + 5s;
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Percent of one core the window takes over `duration` of idling.
double IdleCpu(std::chrono::milliseconds duration) {
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    Idle(duration);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return 100.0 * (CpuSeconds() - cpuStart) / wall;
}

struct TSnapshot {
    std::size_t Heap = 0;
    long RssKb = 0;
    int Threads = 0;
    int Fds = 0;
    int LogLines = 0;
    std::size_t LogBytes = 0; // UTF-8 text of the log's lines
};

TSnapshot Take(const TMainForm& window) {
    fakepcsc::ClearCalls();
    TSnapshot s;
    const QAbstractItemModel* model = window.Form()->LogBox->model();
    s.LogLines = model->rowCount();
    for (int row = 0; row < s.LogLines; ++row) {
        s.LogBytes +=
            static_cast<std::size_t>(model->data(model->index(row, 0)).toString().toUtf8().size());
    }
    s.Heap = HeapInUse();
    s.RssKb = VmRssKb();
    s.Threads = Entries("/proc/self/task");
    s.Fds = Entries("/proc/self/fd") - 1; // the iterator's own descriptor
    return s;
}

void PrintSnapshot(const char* when, const TSnapshot& s) {
    std::printf("%-22s heap %9zu B  VmRSS %7ld kB  threads %3d  fds %3d  log %7d lines "
                "(%zu B of text)\n",
                when, s.Heap, s.RssKb, s.Threads, s.Fds, s.LogLines, s.LogBytes);
}

// The baseline: what a log model alone takes on the heap for the window's
// lines, appended in the same order, so that it grows its buffers at the same
// points. Gives the heap in use after the first `counts[i]` lines.
std::vector<std::size_t> LogModelHeap(const TMainForm& window, const std::vector<int>& counts) {
    const QAbstractItemModel* lines = window.Form()->LogBox->model();
    std::vector<std::size_t> heap;
    TLogModel model;
    int row = 0;
    for (const int count : counts) {
        for (; row < count; ++row) {
            model.Append(lines->data(lines->index(row, 0)).toString());
        }
        heap.push_back(HeapInUse());
    }
    return heap;
}

void PrintGrowth(const char* phase, const TSnapshot& from, const TSnapshot& to, std::size_t logFrom,
                 std::size_t logTo) {
    const double lines = to.LogLines - from.LogLines;
    const double heap = static_cast<double>(to.Heap) - static_cast<double>(from.Heap);
    const double log = static_cast<double>(logTo) - static_cast<double>(logFrom);
    const double text = static_cast<double>(to.LogBytes - from.LogBytes);
    std::printf("%-14s %6.0f new log lines (%4.1f B of text each): heap %+9.0f B = %5.1f B per "
                "line; a log model alone %+9.0f B; ratio %.3f, the rest %+8.0f B; VmRSS %+ld kB\n",
                phase, lines, lines > 0 ? text / lines : 0.0, heap, lines > 0 ? heap / lines : 0.0,
                log, log != 0 ? heap / log : 0.0, heap - log, to.RssKb - from.RssKb);
}

// The offscreen platform warns on every change of a shown window's size hints.
int gSizeHintWarnings = 0;

void DropSizeHintWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains(QLatin1String("propagateSizeHints"))) {
        ++gSizeHintWarnings;
        return;
    }
    std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, text)));
}

[[noreturn]] void Fail(const char* what, int cycle, const TMainForm& window) {
    std::fprintf(stderr, "bench_soak: %s not seen within 5 s in cycle %d; last log line: %s\n",
                 what, cycle,
                 window.LogLines().isEmpty() ? "" : window.LogLines().back().toUtf8().constData());
    std::exit(1);
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dravik"));
    qInstallMessageHandler(DropSizeHintWarnings);

    fakepcsc::Reset();
    fakepcsc::AddReader(kReader);
    auto window = std::make_unique<TMainForm>(FAKEPCSC_PATH);
    window->show();
    if (!WaitFor([&] {
            return window->ReaderObjectAt(0) && window->ReaderObjectAt(0)->CardState == csNoCard;
        })) {
        Fail("the first reader", 0, *window);
    }
    Idle(500ms);
    const double idleBefore = IdleCpu(5s);
    const TSnapshot opened = Take(*window);

    auto start = Clock::now();
    TSnapshot firstCards;
    for (int cycle = 1; cycle <= kCardCycles; ++cycle) {
        if (cycle == kFirstCardCycles + 1) {
            firstCards = Take(*window);
        }
        fakepcsc::InsertCard(kReader, kAtr);
        if (!WaitFor([&] { return window->ReaderObjectAt(0)->CardState == csAvailable; })) {
            Fail("a card inserted", cycle, *window);
        }
        fakepcsc::RemoveCard(kReader);
        if (!WaitFor([&] { return window->ReaderObjectAt(0)->CardState == csNoCard; })) {
            Fail("a card removed", cycle, *window);
        }
        // The library records every call; only the window's memory is measured.
        fakepcsc::ClearCalls();
    }
    const double cardSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const TSnapshot afterCards = Take(*window);

    QComboBox* readers = window->Form()->ReaderListBox;
    start = Clock::now();
    for (int cycle = 1; cycle <= kReaderCycles; ++cycle) {
        fakepcsc::AddReader(kSecondReader);
        if (!WaitFor([&] {
                return readers->count() == 2 && window->ReaderObjectAt(1)->CardState == csNoCard;
            })) {
            Fail("a reader plugged in", cycle, *window);
        }
        fakepcsc::RemoveReader(kSecondReader);
        if (!WaitFor([&] { return readers->count() == 1; })) {
            Fail("a reader pulled out", cycle, *window);
        }
        fakepcsc::ClearCalls();
    }
    const double readerSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    Idle(500ms);
    const TSnapshot afterReaders = Take(*window);
    const double idleAfter = IdleCpu(5s);
    const int contextsOpen = fakepcsc::OpenContexts();
    const int cardsOpen = fakepcsc::OpenCards();
    const std::vector<std::size_t> logHeap =
        LogModelHeap(*window, {opened.LogLines, firstCards.LogLines, afterCards.LogLines,
                               afterReaders.LogLines});
    window.reset();
    const int contextsClosed = fakepcsc::OpenContexts();

    std::printf("bench_soak: %d card insert/remove cycles in %.1f s (%.2f ms each), "
                "%d reader plug/unplug cycles in %.1f s (%.2f ms each)\n",
                kCardCycles, cardSeconds, 1000.0 * cardSeconds / kCardCycles, kReaderCycles,
                readerSeconds, 1000.0 * readerSeconds / kReaderCycles);
    PrintSnapshot("window open", opened);
    PrintSnapshot("after 1000 card cycles", firstCards);
    PrintSnapshot("after card cycles", afterCards);
    PrintSnapshot("after reader cycles", afterReaders);
    PrintGrowth("cards 1-1000", opened, firstCards, logHeap[0], logHeap[1]);
    PrintGrowth("cards 1001-", firstCards, afterCards, logHeap[1], logHeap[2]);
    PrintGrowth("reader cycles", afterCards, afterReaders, logHeap[2], logHeap[3]);
    PrintGrowth("whole soak", opened, afterReaders, logHeap[0], logHeap[3]);
    std::printf("threads %d -> %d, open fds %d -> %d\n", opened.Threads, afterReaders.Threads,
                opened.Fds, afterReaders.Fds);
    std::printf("library after the soak, window open: %d contexts (window, reader-list watcher, "
                "card watcher: 3 expected), %d card handles; after closing: %d contexts\n",
                contextsOpen, cardsOpen, contextsClosed);
    std::printf("(%d warnings of the offscreen platform about size hints dropped)\n",
                gSizeHintWarnings);
    std::printf("idle CPU over 5 s: %.2f %% of a core before, %.2f %% after (ratio %.2f)\n",
                idleBefore, idleAfter, idleBefore > 0 ? idleAfter / idleBefore : 0.0);
    return 0;
}
