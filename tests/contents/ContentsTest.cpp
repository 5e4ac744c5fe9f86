// The card-contents window and its PDF report on a decoded card built in
// code: the driver, the validity warning in both languages, the chart's 28
// calendar days with their gaps, and a report that splits a long chart over
// pages and says when it cannot be written.
#include "CardDataFixture.h"
#include "cardsim/InfringementWeek.h"
#include "cardsim/SampleCard.h"
#include "cardsim/SampleDownload.h"
#include "contents/CardContentsWindow.h"
#include "contents/CardReport.h"
#include "contents/DayChart.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <set>

using cardfixture::kDay;
using contents::TCardContentsWindow;

namespace {

const carddata::TTime kLastDay = cardfixture::Date(2026, 11, 29);

std::unique_ptr<TCardContentsWindow> OpenWindow(carddata::TTime expiry, bool croatian = true) {
    return std::make_unique<TCardContentsWindow>(
        cardfixture::WorkingMonth(kLastDay, expiry),
        contents::TSignatureVerdict{contents::TSignatures::Valid, "12 of 12 signatures valid"},
        croatian);
}

// Pages of a PDF as its page objects count them.
int PdfPages(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray bytes = file.readAll();
    if (!bytes.startsWith("%PDF-")) {
        return -1;
    }
    return static_cast<int>(
        QString::fromLatin1(bytes).count(QRegularExpression(QStringLiteral("/Type\\s*/Page\\b"))));
}

} // namespace

TEST(ContentsWindow, ShowsTheDriverTheValidityWarningAndTwentyEightDaysWithGaps) {
    const carddata::TTime now = contents::Now();
    auto window = OpenWindow(now + 10 * kDay);
    window->show();
    ASSERT_FALSE(window->FactTexts().isEmpty());
    EXPECT_TRUE(window->FactTexts().front().startsWith(QString::fromUtf8("KOVAČEVIĆ, Marko")))
        << window->FactTexts().front().toStdString();
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Sadržaj kartice – KOVAČEVIĆ"));
    EXPECT_TRUE(
        window->ValidityWarningText().startsWith(QString::fromUtf8("Kartica istječe za 10 dana")))
        << window->ValidityWarningText().toStdString();

    // One row a calendar day, oldest first, ending on the last recorded day;
    // exactly the days without a record are gaps.
    const std::vector<contents::TChartDay>& rows = window->ChartView()->Chart().Rows();
    ASSERT_EQ(rows.size(), 28u);
    EXPECT_EQ(rows.front().Date, kLastDay - 27 * kDay);
    EXPECT_EQ(rows.back().Date, kLastDay);
    std::set<carddata::TTime> gaps;
    for (const contents::TChartDay& row : rows) {
        if (row.Day == nullptr) {
            gaps.insert(row.Date);
        } else {
            EXPECT_EQ(row.Day->Date, row.Date);
        }
    }
    const std::vector<carddata::TTime> expected = cardfixture::WorkingMonthGaps(kLastDay);
    EXPECT_EQ(gaps, std::set<carddata::TTime>(expected.begin(), expected.end()));
    // The chart is painted with the days' activities, not left blank.
    const QImage chart = window->ChartView()->grab().toImage();
    const QRgb driving = contents::ActivityColour(carddata::TActivity::Driving).rgb();
    int drivingPixels = 0;
    for (int y = 0; y < chart.height(); ++y) {
        for (int x = 0; x < chart.width(); ++x) {
            drivingPixels += chart.pixel(x, y) == driving ? 1 : 0;
        }
    }
    EXPECT_GT(drivingPixels, 1000);

    // English follows the main window's choice.
    window->SetCroatian(false);
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Card contents – KOVAČEVIĆ"));
    EXPECT_TRUE(
        window->ValidityWarningText().startsWith(QStringLiteral("The card expires in 10 days")))
        << window->ValidityWarningText().toStdString();
    EXPECT_TRUE(window->ChartView()->Chart().Rows().size() == 28u);

    // Expired, and far from expiry.
    EXPECT_TRUE(OpenWindow(now - kDay, false)
                    ->ValidityWarningText()
                    .startsWith(QStringLiteral("The card expired on ")));
    auto valid = OpenWindow(now + 60 * kDay);
    valid->show();
    EXPECT_TRUE(valid->ValidityWarningText().isEmpty())
        << valid->ValidityWarningText().toStdString();
}

// The simulated fortnight breaks each rule once: six rows, six marks.
TEST(ContentsWindow, ListsAndMarksTheInfringements) {
    cardsim::TCardImage card = cardsim::BuildDriverCard();
    cardsim::SetActivity(card, cardsim::InfringementWeek(), 13776);
    const std::vector<std::uint8_t> file = cardsim::DownloadOf(card);
    contents::TCardContentsWindow window(carddata::Decode(file), {}, false, QString());
    const auto* table = window.findChild<QTableWidget*>(QStringLiteral("InfringementTable"));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rowCount(), 6);
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QStringLiteral("Rule"));
    EXPECT_EQ(window.ChartView()->Chart().Marks().size(), 6u);
}

TEST(ContentsReport, WritesAnA4PdfAndSplitsALongChartOverPages) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const carddata::TCardData month = cardfixture::WorkingMonth(kLastDay, kLastDay + 400 * kDay);
    contents::TReportOptions options;
    options.Signatures.Verdict = contents::TSignatures::NotChecked;
    options.Marks = {
        {kLastDay - 3 * kDay + 6 * 3600, kLastDay - 3 * kDay + 11 * 3600, QStringLiteral("4h30")}};

    const QString month28 = folder.filePath(QStringLiteral("month.pdf"));
    const contents::TReportResult first =
        contents::WriteCardReport(month, options, month28.toStdString());
    EXPECT_EQ(first.Error, "");
    EXPECT_GE(first.Pages, 1);
    EXPECT_EQ(PdfPages(month28), first.Pages);

    // A year of the largest card's days, its tables left empty: the chart's
    // rows alone, each taller than 10 pt, need more than four A4 pages.
    carddata::TCardData largest = cardfixture::LargestCard(kLastDay);
    largest.Vehicles.clear();
    largest.Events.clear();
    largest.Faults.clear();
    options.Days = 365;
    options.Croatian = false;
    const QString year = folder.filePath(QStringLiteral("year.pdf"));
    const contents::TReportResult long_ =
        contents::WriteCardReport(largest, options, year.toStdString());
    EXPECT_EQ(long_.Error, "");
    EXPECT_GT(PdfPages(year), 4);
    EXPECT_EQ(PdfPages(year), long_.Pages);

    // A folder that does not exist: an error, never a report said written.
    const QString nowhere = folder.filePath(QStringLiteral("missing/report.pdf"));
    EXPECT_NE(contents::WriteCardReport(month, options, nowhere.toStdString()).Error, "");
    EXPECT_FALSE(QFile::exists(nowhere));
}

// The closing message's real box: its own button and OK tell apart.
TEST(ContentsEntry, TheClosingBoxSaysWhetherItsContentsButtonWasPressed) {
    for (const bool contentsButton : {true, false}) {
        QTimer press;
        QObject::connect(&press, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            for (QAbstractButton* button : box->buttons()) {
                if ((button->text() == contents::ContentsButtonText(true)) == contentsButton) {
                    button->click();
                    return;
                }
            }
        });
        press.start(10);
        EXPECT_EQ(messagebox::ShowWithButton(
                      nullptr, QStringLiteral("Dravik"), QStringLiteral("Downloaded.\rDriver"),
                      messagebox::TIcon::Information, contents::ContentsButtonText(true)),
                  contentsButton);
    }
}
