// The card-contents window opened on the largest card (a year of busy days,
// 250 vehicles, full event and fault lists): made, shown and painted once,
// against an empty QWidget of the same size made, shown and painted the same
// way in the same run, and the window on a four weeks' card. Then the PDF report of its 28 days and
// of its whole year. Each figure is the median of 11 rounds, after one round to warm up.
//
//   bench_contents [ROUNDS]
#include "CardDataFixture.h"
#include "contents/CardContentsWindow.h"
#include "contents/CardReport.h"

#include <QApplication>
#include <QDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double Milliseconds(const std::function<void()>& work) {
    const Clock::time_point start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    const carddata::TTime lastDay = cardfixture::Date(2026, 11, 29);
    const carddata::TCardData largest = cardfixture::LargestCard(lastDay);
    std::size_t changes = 0;
    for (const carddata::TDay& day : largest.Days) {
        changes += day.Changes.size();
    }
    const contents::TSignatureVerdict verdict{contents::TSignatures::Valid, "valid"};

    const carddata::TCardData month =
        cardfixture::WorkingMonth(lastDay, lastDay + 400 * cardfixture::kDay);
    auto open = [&](const carddata::TCardData& data, QSize* size) {
        contents::TCardContentsWindow contentsWindow(data, verdict, true);
        contentsWindow.setAttribute(Qt::WA_DeleteOnClose, false);
        contentsWindow.show();
        contentsWindow.repaint();
        QCoreApplication::processEvents();
        if (size != nullptr) {
            *size = contentsWindow.size();
        }
    };

    QSize size;
    std::vector<double> window, small, empty, pdf28, pdfYear;
    for (int round = 0; round <= rounds; ++round) {
        const double opened = Milliseconds([&] { open(largest, &size); });
        const double fourWeeks = Milliseconds([&] { open(month, nullptr); });
        const double plain = Milliseconds([&] {
            QWidget widget;
            widget.resize(size);
            widget.show();
            widget.repaint();
            QCoreApplication::processEvents();
        });
        contents::TReportOptions options;
        const QString path = QDir::temp().filePath(QStringLiteral("bench_contents.pdf"));
        const double month =
            Milliseconds([&] { contents::WriteCardReport(largest, options, path.toStdString()); });
        options.Days = 365;
        int pages = 0;
        const double year = Milliseconds(
            [&] { pages = contents::WriteCardReport(largest, options, path.toStdString()).Pages; });
        QFile::remove(path);
        if (round == 0) {
            std::printf("largest card: %zu days, %zu activity changes, %zu vehicles, %zu events, "
                        "%zu faults; window %dx%d; year report %d pages\n",
                        largest.Days.size(), changes, largest.Vehicles.size(),
                        largest.Events.size(), largest.Faults.size(), size.width(), size.height(),
                        pages);
            continue; // warming up
        }
        window.push_back(opened);
        small.push_back(fourWeeks);
        empty.push_back(plain);
        pdf28.push_back(month);
        pdfYear.push_back(year);
    }
    const double windowMs = Median(window), emptyMs = Median(empty);
    std::printf("window opened and painted: %.1f ms (target < 100 ms)\n", windowMs);
    std::printf("the same on the four weeks' card: %.1f ms\n", Median(small));
    std::printf("empty QWidget of the same size: %.1f ms; ratio %.1f\n", emptyMs,
                windowMs / std::max(emptyMs, 0.001));
    std::printf("PDF report, 28 days: %.1f ms; 365 days: %.1f ms\n", Median(pdf28),
                Median(pdfYear));
    return windowMs < 100 ? 0 : 1;
}
