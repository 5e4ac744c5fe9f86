// A million 60-character lines appended to the message log while its view is
// shown, with the event loop run every 1,000 lines as the running program
// would: lines per second for the first and the last 100,000 lines, and heap
// bytes per line. Each figure is the median of three rounds.
//
//   bench_log             the log's own view, TLogView
//   bench_log qlistview   the same lines in a QListView with uniform item sizes,
//                         for comparison (its relayout after every insert walks
//                         all rows, so its last lines are far slower)
#include "main/LogModel.h"
#include "main/LogView.h"

#include <QApplication>
#include <QListView>
#include <QScrollBar>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kLines = 1'000'000;
constexpr int kWindow = 100'000;
constexpr int kEventsEvery = 1'000;
constexpr int kLineLength = 60;
constexpr int kRounds = 3;

// A 60-character line that differs from its neighbours, as log lines do.
QString MakeLine(int number) {
    QString line = QStringLiteral("Data: 0123456789 ABCDEFGHIJ abcdefghij 0123456789 line ");
    line += QString::number(number).rightJustified(kLineLength - line.size(), u'0');
    return line;
}

// Bytes handed out by malloc: small blocks from the arena (uordblks) and large
// ones mapped on their own (hblkhd), where a big buffer ends up once it grows.
std::size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct TRound {
    double FirstSeconds = 0;
    double LastSeconds = 0;
    double BytesPerLine = 0;
    int Rows = 0;
    int ScrollRange = 0;
};

TRound RunRound(bool qlistview) {
    TRound round;
    const std::size_t heapBefore = HeapInUse();
    auto model = std::make_unique<TLogModel>();
    std::unique_ptr<QAbstractItemView> view;
    if (qlistview) {
        auto list = std::make_unique<QListView>();
        list->setUniformItemSizes(true);
        list->setModel(model.get());
        view = std::move(list);
    } else {
        auto log = std::make_unique<TLogView>();
        AttachLog(log.get(), model.get());
        view = std::move(log);
    }
    view->resize(453, 205);
    view->show();
    QCoreApplication::processEvents();

    Clock::time_point windowStart = Clock::now();
    for (int i = 0; i < kLines; ++i) {
        if (i == kLines - kWindow) {
            windowStart = Clock::now();
        }
        model->Append(MakeLine(i));
        if ((i + 1) % kEventsEvery == 0) {
            QCoreApplication::processEvents();
        }
        if (i + 1 == kWindow) {
            round.FirstSeconds = Seconds(Clock::now() - windowStart);
        }
    }
    round.LastSeconds = Seconds(Clock::now() - windowStart);
    QCoreApplication::processEvents();

    round.BytesPerLine =
        (static_cast<double>(HeapInUse()) - static_cast<double>(heapBefore)) / kLines;
    round.Rows = model->rowCount();
    round.ScrollRange = view->verticalScrollBar()->maximum();
    return round;
}

double Median(double a, double b, double c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    const bool qlistview = argc > 1 && std::strcmp(argv[1], "qlistview") == 0;
    if (MakeLine(0).size() != kLineLength) {
        std::fprintf(stderr, "a line has %lld characters, not %d\n",
                     static_cast<long long>(MakeLine(0).size()), kLineLength);
        return 1;
    }

    TRound rounds[kRounds];
    for (TRound& round : rounds) {
        round = RunRound(qlistview);
    }
    const double first =
        Median(rounds[0].FirstSeconds, rounds[1].FirstSeconds, rounds[2].FirstSeconds);
    const double last = Median(rounds[0].LastSeconds, rounds[1].LastSeconds, rounds[2].LastSeconds);

    std::printf("view:                  %s\n",
                qlistview ? "QListView (uniform item sizes)" : "TLogView");
    std::printf("lines:                 %d of %d characters, events every %d\n", rounds[0].Rows,
                kLineLength, kEventsEvery);
    std::printf("scroll range at end:   %d rows\n", rounds[0].ScrollRange);
    std::printf("first %d lines:    %.0f lines/s (%.3f s)\n", kWindow, kWindow / first, first);
    std::printf("last %d lines:     %.0f lines/s (%.3f s)\n", kWindow, kWindow / last, last);
    std::printf("last / first time:     %.2f (target at most 1.20)\n", last / first);
    std::printf("heap per line:         %.1f bytes (target at most %d)\n", rounds[0].BytesPerLine,
                2 * kLineLength + 100);
    return 0;
}
