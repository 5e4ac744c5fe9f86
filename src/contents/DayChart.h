// The day chart: one row a calendar day, 00:00 to 24:00 UTC, each activity
// in its own colour and height, the day's totals at the right, a day without
// a record left as a gap. One painter for the card-contents window and the
// PDF report alike: sizes follow the painter's font on its device, so the
// same code draws on a screen and on a 300 dpi page.
#pragma once

#include "carddata/CardData.h"
#include "rules/Rules.h"

#include <QColor>
#include <QString>
#include <vector>

class QFont;
class QPaintDevice;
class QPainter;
class QRectF;

namespace contents {

// A stretch of time to point out on the chart, such as a rule broken.
struct TMark {
    carddata::TTime Begin = 0, End = 0;
    QString Label;
};
// One mark per infringement, labelled with its rule's name.
std::vector<TMark> InfringementMarks(const rules::TJudgement& judgement, bool croatian);

// One row: the day's 00:00 UTC and its record, or null where the card has none.
struct TChartDay {
    carddata::TTime Date = 0;
    const carddata::TDay* Day = nullptr;
};

// The `count` calendar days up to the latest recorded one, oldest first; no
// more than from the earliest recorded one when that is over 28 days.
// The rows point into `data`, which must outlive them. A day recorded twice
// shows its later record. No days recorded: no rows.
std::vector<TChartDay> ChartDays(const carddata::TCardData& data, int count);

// A stretch of one activity within a day, in minutes since 00:00.
struct TSegment {
    int Begin = 0, End = 0;
    carddata::TActivity Activity = carddata::TActivity::Rest;
    bool Unknown = false; // card not inserted, nothing entered by hand
};
// The day's changes as stretches; the last runs to midnight. Changes out of
// order or past midnight give no stretch of negative length.
std::vector<TSegment> Segments(const carddata::TDay& day);

QColor ActivityColour(carddata::TActivity activity);
QColor UnknownColour();
QString ActivityName(carddata::TActivity activity, bool croatian);

struct TChartMetrics {
    double Header = 0; // the hour scale
    double Row = 0;
    double Legend = 0;
};

class TDayChart {
public:
    TDayChart() = default;
    TDayChart(std::vector<TChartDay> rows, bool croatian, std::vector<TMark> marks = {});

    const std::vector<TChartDay>& Rows() const { return FRows; }
    const std::vector<TMark>& Marks() const { return FMarks; }
    void SetMarks(std::vector<TMark> marks) { FMarks = std::move(marks); }
    bool Croatian() const { return FCroatian; }

    // The heights for `font` on `device`.
    static TChartMetrics Metrics(const QFont& font, QPaintDevice* device);
    // The hour scale and rows [first, first + count) from the top of `area`,
    // across its whole width, in the painter's current font.
    void Paint(QPainter& painter, const QRectF& area, int first, int count) const;
    // What each colour means, in one line across `area`.
    void PaintLegend(QPainter& painter, const QRectF& area) const;

private:
    std::vector<TChartDay> FRows;
    bool FCroatian = true;
    std::vector<TMark> FMarks;
};

} // namespace contents
