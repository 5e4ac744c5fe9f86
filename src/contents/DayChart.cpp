#include "contents/DayChart.h"

#include "contents/ContentsText.h"

#include <QDate>
#include <QDateTime>
#include <QFontMetricsF>
#include <QPainter>
#include <QRectF>
#include <algorithm>
#include <map>

namespace contents {

std::vector<TMark> InfringementMarks(const rules::TJudgement& judgement, bool croatian) {
    std::vector<TMark> marks;
    for (const rules::TFinding& finding : judgement.Infringements) {
        marks.push_back({finding.Start, finding.End, RuleName(finding.Rule, croatian)});
    }
    return marks;
}

namespace {

constexpr carddata::TTime kDay = 24 * 60 * 60;
constexpr int kMinutes = 24 * 60;
constexpr int kTotalColumns = 5;

// Each activity its own height too, so that a black-and-white print still
// tells driving from work, availability and rest.
double ActivityHeight(carddata::TActivity activity) {
    switch (activity) {
    case carddata::TActivity::Driving:
        return 1.0;
    case carddata::TActivity::Work:
        return 0.72;
    case carddata::TActivity::Availability:
        return 0.5;
    case carddata::TActivity::Rest:
        break;
    }
    return 0.28;
}

const QColor kMarkColour(0xC0, 0x00, 0x7A);
const QColor kGrid(0xDD, 0xDD, 0xDD);
const QColor kGridStrong(0xAA, 0xAA, 0xAA);
const QColor kGapText(0x88, 0x88, 0x88);

// The letters over the totals' columns: driving, work, availability, rest, unknown.
const char* const kLettersCroatian[kTotalColumns] = {"V", "R", "P", "O", "N"};
const char* const kLettersEnglish[kTotalColumns] = {"D", "W", "A", "R", "U"};

QColor ColumnColour(int column) {
    static const carddata::TActivity kOrder[] = {
        carddata::TActivity::Driving, carddata::TActivity::Work, carddata::TActivity::Availability,
        carddata::TActivity::Rest};
    return column < 4 ? ActivityColour(kOrder[column]) : UnknownColour();
}

carddata::TTime StartOfDay(carddata::TTime time) {
    const carddata::TTime rest = time % kDay;
    return time - (rest < 0 ? rest + kDay : rest);
}

struct TLayout {
    double Label = 0, TimelineLeft = 0, TimelineRight = 0, Column = 0, Pad = 0;
    double X(int minute) const {
        return TimelineLeft + (TimelineRight - TimelineLeft) * minute / kMinutes;
    }
};

TLayout Layout(const QFontMetricsF& metrics, const QRectF& area) {
    TLayout layout;
    layout.Pad = metrics.averageCharWidth();
    layout.Label = std::max(metrics.horizontalAdvance(QStringLiteral("Wed 12-30")),
                            metrics.horizontalAdvance(QString::fromUtf8("Če 30.11."))) +
                   layout.Pad;
    layout.Column = metrics.horizontalAdvance(QStringLiteral("00:00")) + layout.Pad;
    layout.TimelineLeft = area.left() + layout.Label;
    layout.TimelineRight = area.right() - kTotalColumns * layout.Column - layout.Pad;
    return layout;
}

} // namespace

std::vector<TChartDay> ChartDays(const carddata::TCardData& data, int count) {
    std::map<carddata::TTime, const carddata::TDay*> byDate;
    for (const carddata::TDay& day : data.Days) {
        byDate[StartOfDay(day.Date)] = &day;
    }
    std::vector<TChartDay> rows;
    if (byDate.empty() || count <= 0) {
        return rows;
    }
    const carddata::TTime last = byDate.rbegin()->first;
    // Never more rows of nothing before the first record than the 28 days
    // the window shows: a long report (or a large --days) ends where the
    // card's days begin.
    const carddata::TTime span = (last - byDate.begin()->first) / kDay + 1;
    count = static_cast<int>(std::min<carddata::TTime>(count, std::max<carddata::TTime>(span, 28)));
    rows.reserve(static_cast<std::size_t>(count));
    for (int i = count - 1; i >= 0; --i) {
        TChartDay row;
        row.Date = last - static_cast<carddata::TTime>(i) * kDay;
        const auto found = byDate.find(row.Date);
        row.Day = found != byDate.end() ? found->second : nullptr;
        rows.push_back(row);
    }
    return rows;
}

std::vector<TSegment> Segments(const carddata::TDay& day) {
    std::vector<TSegment> segments;
    segments.reserve(day.Changes.size());
    for (std::size_t i = 0; i < day.Changes.size(); ++i) {
        const carddata::TActivityChange& change = day.Changes[i];
        const int begin = std::min<int>(change.Minute, kMinutes);
        const int end = i + 1 < day.Changes.size()
                            ? std::min<int>(day.Changes[i + 1].Minute, kMinutes)
                            : kMinutes;
        if (end <= begin) {
            continue;
        }
        segments.push_back({begin, end, change.Activity, change.Unknown()});
    }
    return segments;
}

QColor ActivityColour(carddata::TActivity activity) {
    switch (activity) {
    case carddata::TActivity::Driving:
        return {0xD9, 0x48, 0x2B};
    case carddata::TActivity::Work:
        return {0xF2, 0xA9, 0x00};
    case carddata::TActivity::Availability:
        return {0x3A, 0x86, 0xD4};
    case carddata::TActivity::Rest:
        break;
    }
    return {0x4C, 0xAF, 0x50};
}

QColor UnknownColour() {
    return {0x9E, 0x9E, 0x9E};
}

QString ActivityName(carddata::TActivity activity, bool croatian) {
    switch (activity) {
    case carddata::TActivity::Driving:
        return Tr(croatian, "Vožnja", "Driving");
    case carddata::TActivity::Work:
        return Tr(croatian, "Rad", "Work");
    case carddata::TActivity::Availability:
        return Tr(croatian, "Pripravnost", "Availability");
    case carddata::TActivity::Rest:
        break;
    }
    return Tr(croatian, "Odmor", "Rest");
}

TDayChart::TDayChart(std::vector<TChartDay> rows, bool croatian, std::vector<TMark> marks)
    : FRows(std::move(rows)), FCroatian(croatian), FMarks(std::move(marks)) {}

TChartMetrics TDayChart::Metrics(const QFont& font, QPaintDevice* device) {
    const QFontMetricsF metrics(font, device);
    TChartMetrics sizes;
    sizes.Header = metrics.height() * 1.5;
    sizes.Row = metrics.height() * 1.5;
    sizes.Legend = metrics.height() * 1.8;
    return sizes;
}

void TDayChart::Paint(QPainter& painter, const QRectF& area, int first, int count) const {
    painter.save();
    const QFontMetricsF metrics(painter.font(), painter.device());
    const TChartMetrics sizes = Metrics(painter.font(), painter.device());
    const TLayout layout = Layout(metrics, area);
    const double line = metrics.height();
    first = std::clamp(first, 0, static_cast<int>(FRows.size()));
    count = std::clamp(count, 0, static_cast<int>(FRows.size()) - first);

    // The hour scale, and the totals' letters above their columns.
    painter.setPen(Qt::black);
    const double scaleBase = area.top() + sizes.Header - line * 0.3;
    for (int hour = 0; hour <= 24; hour += 2) {
        const QString text = QString::number(hour);
        const double width = metrics.horizontalAdvance(text);
        const double x = layout.X(hour * 60);
        const double left = hour == 0 ? x : hour == 24 ? x - width : x - width / 2;
        painter.drawText(QPointF(left, scaleBase), text);
    }
    const double columnsLeft = layout.TimelineRight + layout.Pad;
    for (int column = 0; column < kTotalColumns; ++column) {
        // Right-aligned over the right-aligned totals.
        const QString letter =
            QString::fromUtf8((FCroatian ? kLettersCroatian : kLettersEnglish)[column]);
        const double swatch = line * 0.6;
        const double right = columnsLeft + (column + 1) * layout.Column - layout.Pad * 0.5;
        const double letterLeft = right - metrics.horizontalAdvance(letter);
        const double swatchLeft = letterLeft - layout.Pad * 0.3 - swatch;
        painter.fillRect(QRectF(swatchLeft, scaleBase - swatch, swatch, swatch),
                         ColumnColour(column));
        painter.drawText(QPointF(letterLeft, scaleBase), letter);
    }

    const double hairline = std::max(1.0, line / 16);
    for (int index = 0; index < count; ++index) {
        const TChartDay& row = FRows[static_cast<std::size_t>(first + index)];
        const double top = area.top() + sizes.Header + index * sizes.Row;
        const QRectF timeline(layout.TimelineLeft, top + sizes.Row * 0.1,
                              layout.TimelineRight - layout.TimelineLeft, sizes.Row * 0.8);
        const int weekday = QDateTime::fromSecsSinceEpoch(row.Date, Qt::UTC).date().dayOfWeek();
        if (weekday >= 6) {
            painter.fillRect(QRectF(area.left(), top, layout.Label - layout.Pad * 0.5, sizes.Row),
                             QColor(0xEE, 0xEE, 0xEE));
        }
        painter.setPen(Qt::black);
        painter.drawText(QRectF(area.left() + layout.Pad * 0.3, top, layout.Label, sizes.Row),
                         Qt::AlignLeft | Qt::AlignVCenter, ShortDayText(row.Date, FCroatian));

        if (row.Day == nullptr) {
            QPen dashed(kGridStrong, hairline, Qt::DashLine);
            painter.setPen(dashed);
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(timeline);
            painter.setPen(kGapText);
            painter.drawText(timeline, Qt::AlignCenter, Tr(FCroatian, "bez zapisa", "no record"));
            continue;
        }

        painter.fillRect(timeline, Qt::white);
        for (int hour = 1; hour < 24; ++hour) {
            painter.setPen(QPen(hour % 6 == 0 ? kGridStrong : kGrid, hairline));
            const double x = layout.X(hour * 60);
            painter.drawLine(QPointF(x, timeline.top()), QPointF(x, timeline.bottom()));
        }
        for (const TSegment& segment : Segments(*row.Day)) {
            const double left = layout.X(segment.Begin);
            const double width = layout.X(segment.End) - left;
            if (segment.Unknown) {
                const QRectF box(left, timeline.top(), width, timeline.height());
                painter.fillRect(box, QColor(0xF2, 0xF2, 0xF2));
                painter.fillRect(box, QBrush(UnknownColour(), Qt::BDiagPattern));
                continue;
            }
            const double height = timeline.height() * ActivityHeight(segment.Activity);
            painter.fillRect(QRectF(left, timeline.bottom() - height, width, height),
                             ActivityColour(segment.Activity));
        }
        painter.setPen(QPen(kGridStrong, hairline));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(timeline);

        // The marks of this day: a band over their stretch, the label at its start.
        for (const TMark& mark : FMarks) {
            const carddata::TTime dayEnd = row.Date + kDay;
            if (mark.End <= row.Date || mark.Begin >= dayEnd || mark.End <= mark.Begin) {
                continue;
            }
            const int begin = static_cast<int>((std::max(mark.Begin, row.Date) - row.Date) / 60);
            const int end = static_cast<int>((std::min(mark.End, dayEnd) - row.Date) / 60);
            const QRectF band(layout.X(begin), top,
                              std::max(hairline, layout.X(end) - layout.X(begin)), sizes.Row);
            QColor fill = kMarkColour;
            fill.setAlpha(50);
            painter.fillRect(band, fill);
            painter.setPen(QPen(kMarkColour, hairline * 2));
            painter.drawRect(band);
            if (!mark.Label.isEmpty()) {
                const QRectF text(band.left() + layout.Pad * 0.3, top,
                                  metrics.horizontalAdvance(mark.Label) + layout.Pad, line);
                painter.fillRect(text, QColor(255, 255, 255, 200));
                painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, mark.Label);
            }
        }

        const carddata::TDayTotals totals = carddata::Totals(*row.Day);
        const int values[kTotalColumns] = {totals.Driving, totals.Work, totals.Availability,
                                           totals.Rest, totals.Unknown};
        painter.setPen(Qt::black);
        for (int column = 0; column < kTotalColumns; ++column) {
            const QRectF cell(columnsLeft + column * layout.Column, top,
                              layout.Column - layout.Pad * 0.5, sizes.Row);
            painter.drawText(cell, Qt::AlignRight | Qt::AlignVCenter,
                             values[column] > 0 ? DurationText(values[column])
                                                : QStringLiteral("–"));
        }
    }
    painter.restore();
}

void TDayChart::PaintLegend(QPainter& painter, const QRectF& area) const {
    painter.save();
    const QFontMetricsF metrics(painter.font(), painter.device());
    const double line = metrics.height();
    const double swatch = line * 0.7;
    const double pad = metrics.averageCharWidth();
    double x = area.left();
    const double middle = area.top() + area.height() / 2;
    auto entry = [&](const QString& text, const QColor& colour, bool hatched) {
        const QRectF box(x, middle - swatch / 2, swatch * 1.6, swatch);
        painter.fillRect(box, hatched ? QBrush(colour, Qt::BDiagPattern) : QBrush(colour));
        painter.setPen(Qt::black);
        x = box.right() + pad * 0.5;
        painter.drawText(
            QRectF(x, area.top(), metrics.horizontalAdvance(text) + pad, area.height()),
            Qt::AlignLeft | Qt::AlignVCenter, text);
        x += metrics.horizontalAdvance(text) + pad * 2;
    };
    for (const carddata::TActivity activity :
         {carddata::TActivity::Driving, carddata::TActivity::Work,
          carddata::TActivity::Availability, carddata::TActivity::Rest}) {
        entry(ActivityName(activity, FCroatian), ActivityColour(activity), false);
    }
    entry(Tr(FCroatian, "Nepoznato (kartica nije umetnuta)", "Unknown (card not inserted)"),
          UnknownColour(), true);
    if (!FMarks.empty()) {
        QColor fill = kMarkColour;
        fill.setAlpha(90);
        entry(Tr(FCroatian, "Prekršaj", "Infringement"), fill, false);
    }
    painter.restore();
}

} // namespace contents
