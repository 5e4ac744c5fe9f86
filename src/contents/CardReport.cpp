#include "contents/CardReport.h"

#include <QDateTime>
#include <QFile>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <algorithm>

namespace contents {

namespace {

constexpr int kResolution = 300;

// Where the next line goes, and a new page when it does not fit.
class TPage {
public:
    TPage(QPdfWriter& writer, QPainter& painter, bool croatian)
        : FWriter(writer), FPainter(painter), FCroatian(croatian) {
        FArea = QRectF(QPointF(0, 0),
                       writer.pageLayout().paintRectPixels(kResolution).size().toSizeF());
        FFooter = QFontMetricsF(FooterFont(), painter.device()).height() * 1.5;
        Y = FArea.top();
    }

    double Left() const { return FArea.left(); }
    double Width() const { return FArea.width(); }
    double Bottom() const { return FArea.bottom() - FFooter; }
    double Left(double height) const { return Bottom() - Y - height; }
    int Pages() const { return FPages; }

    // Makes room for `height`, on a new page when this one has less.
    // True when a page was begun.
    bool Need(double height) {
        if (Y + height <= Bottom() || Y == FArea.top()) {
            return false;
        }
        NewPage();
        return true;
    }
    void NewPage() {
        Footer();
        FWriter.newPage();
        ++FPages;
        Y = FArea.top();
    }
    void Finish() { Footer(); }

    static QFont FooterFont() {
        QFont font(QStringLiteral("Helvetica"));
        font.setPointSizeF(7);
        return font;
    }

    double Y = 0;

private:
    void Footer() {
        FPainter.save();
        FPainter.setFont(FooterFont());
        FPainter.setPen(Qt::darkGray);
        FPainter.drawText(QRectF(FArea.left(), FArea.bottom() - FFooter, FArea.width(), FFooter),
                          Qt::AlignRight | Qt::AlignBottom,
                          Tr(FCroatian, "Dravik – stranica %1", "Dravik – page %1").arg(FPages));
        FPainter.restore();
    }

    QPdfWriter& FWriter;
    QPainter& FPainter;
    bool FCroatian;
    QRectF FArea;
    double FFooter = 0;
    int FPages = 1;
};

QFont Font(double points, bool bold = false) {
    QFont font(QStringLiteral("Helvetica"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void Heading(QPainter& painter, TPage& page, const QString& text) {
    painter.setFont(Font(11, true));
    const double height = QFontMetricsF(painter.font(), painter.device()).height() * 1.6;
    // A heading is never left alone at a page's foot.
    page.Need(height * 3);
    painter.setPen(Qt::black);
    painter.drawText(QRectF(page.Left(), page.Y, page.Width(), height),
                     Qt::AlignLeft | Qt::AlignBottom, text);
    page.Y += height * 1.15;
}

void Facts(QPainter& painter, TPage& page, const std::vector<TFact>& facts) {
    painter.setFont(Font(9));
    const QFontMetricsF metrics(painter.font(), painter.device());
    double labelWidth = 0;
    for (const TFact& fact : facts) {
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(fact.Label + QLatin1Char(':')));
    }
    labelWidth += metrics.averageCharWidth() * 2;
    const double line = metrics.height() * 1.3;
    for (const TFact& fact : facts) {
        page.Need(line);
        painter.setPen(Qt::darkGray);
        painter.drawText(QRectF(page.Left(), page.Y, labelWidth, line),
                         Qt::AlignLeft | Qt::AlignVCenter, fact.Label + QLatin1Char(':'));
        painter.setPen(Qt::black);
        const double width = page.Width() - labelWidth;
        painter.drawText(QRectF(page.Left() + labelWidth, page.Y, width, line),
                         Qt::AlignLeft | Qt::AlignVCenter,
                         metrics.elidedText(fact.Value, Qt::ElideRight, width));
        page.Y += line;
    }
}

void Chart(QPainter& painter, TPage& page, const TDayChart& chart, bool croatian) {
    painter.setFont(Font(7.5));
    const TChartMetrics sizes = TDayChart::Metrics(painter.font(), painter.device());
    const int rows = static_cast<int>(chart.Rows().size());
    int first = 0;
    while (first < rows) {
        if (page.Left(sizes.Header + sizes.Row) < 0) {
            page.NewPage();
            Heading(painter, page,
                    Tr(croatian, "Aktivnosti po danima (UTC), nastavak",
                       "Activities by day (UTC), continued"));
            painter.setFont(Font(7.5));
        }
        const int fit = std::max(1, static_cast<int>(page.Left(sizes.Header) / sizes.Row));
        const int count = std::min(fit, rows - first);
        const QRectF area(page.Left(), page.Y, page.Width(), sizes.Header + count * sizes.Row);
        chart.Paint(painter, area, first, count);
        page.Y += area.height();
        first += count;
    }
    page.Need(sizes.Legend);
    chart.PaintLegend(painter, QRectF(page.Left(), page.Y, page.Width(), sizes.Legend));
    page.Y += sizes.Legend;
}

void Table(QPainter& painter, TPage& page, const TTable& table, bool croatian) {
    Heading(painter, page, table.Title);
    painter.setFont(Font(8));
    const QFontMetricsF metrics(painter.font(), painter.device());
    const double line = metrics.height() * 1.35;
    const double pad = metrics.averageCharWidth();
    if (table.Rows.empty()) {
        painter.setPen(Qt::darkGray);
        painter.drawText(QRectF(page.Left(), page.Y, page.Width(), line),
                         Qt::AlignLeft | Qt::AlignVCenter, Tr(croatian, "nema", "none"));
        page.Y += line;
        return;
    }
    // Columns as wide as their widest text, shrunk together to the page.
    const int columns = static_cast<int>(table.Columns.size());
    std::vector<double> widths(static_cast<std::size_t>(columns), 0);
    auto widen = [&](const QStringList& cells) {
        for (int c = 0; c < columns && c < cells.size(); ++c) {
            widths[static_cast<std::size_t>(c)] = std::max(
                widths[static_cast<std::size_t>(c)], metrics.horizontalAdvance(cells[c]) + pad * 2);
        }
    };
    widen(table.Columns);
    for (const QStringList& row : table.Rows) {
        widen(row);
    }
    double total = 0;
    for (const double width : widths) {
        total += width;
    }
    if (total > page.Width()) {
        for (double& width : widths) {
            width *= page.Width() / total;
        }
    }
    auto drawRow = [&](const QStringList& cells, bool header) {
        double x = page.Left();
        if (header) {
            painter.fillRect(QRectF(x, page.Y, page.Width(), line), QColor(0xE8, 0xE8, 0xE8));
        }
        painter.setPen(Qt::black);
        for (int c = 0; c < columns; ++c) {
            const double width = widths[static_cast<std::size_t>(c)];
            const QString text = c < cells.size() ? cells[c] : QString();
            painter.drawText(QRectF(x + pad, page.Y, width - pad, line),
                             Qt::AlignLeft | Qt::AlignVCenter,
                             metrics.elidedText(text, Qt::ElideRight, width - pad * 1.5));
            x += width;
        }
        page.Y += line;
    };
    drawRow(table.Columns, true);
    for (const QStringList& row : table.Rows) {
        if (page.Need(line)) {
            painter.setFont(Font(8));
            drawRow(table.Columns, true);
        }
        drawRow(row, false);
    }
}

} // namespace

carddata::TTime Now() {
    return QDateTime::currentSecsSinceEpoch();
}

TReportResult WriteCardReport(const carddata::TCardData& data, const TReportOptions& options,
                              const std::string& path) {
    TReportResult result;
    const bool croatian = options.Croatian;
    QPdfWriter writer(QString::fromStdString(path));
    writer.setResolution(kResolution);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(15, 12, 15, 12), QPageLayout::Millimeter));
    writer.setTitle(WindowTitle(data, croatian));
    writer.setCreator(QStringLiteral("Dravik"));
    QPainter painter;
    if (!painter.begin(&writer)) {
        result.Error = "cannot write " + path;
        return result;
    }
    TPage page(writer, painter, croatian);

    painter.setFont(Font(15, true));
    const double title = QFontMetricsF(painter.font(), painter.device()).height() * 1.4;
    painter.drawText(QRectF(page.Left(), page.Y, page.Width(), title),
                     Qt::AlignLeft | Qt::AlignVCenter, WindowTitle(data, croatian));
    page.Y += title;
    Facts(painter, page, HeaderFacts(data, options.Signatures, croatian));
    const QString warning =
        ValidityWarning(data.Card, options.Now != 0 ? options.Now : Now(), croatian);
    if (!warning.isEmpty()) {
        painter.setFont(Font(10, true));
        const double line = QFontMetricsF(painter.font(), painter.device()).height() * 1.5;
        painter.setPen(QColor(0xB0, 0x00, 0x20));
        painter.drawText(QRectF(page.Left(), page.Y, page.Width(), line),
                         Qt::AlignLeft | Qt::AlignVCenter, warning);
        page.Y += line;
    }

    Heading(painter, page, Tr(croatian, "Aktivnosti po danima (UTC)", "Activities by day (UTC)"));
    const rules::TJudgement judgement = rules::Judge(data.Days, {});
    const TDayChart chart(ChartDays(data, options.Days), croatian,
                          options.Marks.empty() ? InfringementMarks(judgement, croatian)
                                                : options.Marks);
    Chart(painter, page, chart, croatian);

    Table(painter, page, VehicleTable(data, croatian), croatian);
    Table(painter, page, EventTable(data.Events, false, croatian), croatian);
    Table(painter, page, EventTable(data.Faults, true, croatian), croatian);
    const TTable errors = ErrorTable(data, croatian);
    if (!errors.Rows.empty()) {
        Table(painter, page, errors, croatian);
    }
    if (!judgement.Infringements.empty()) {
        page.NewPage();
        Table(painter, page, InfringementTable(judgement, croatian), croatian);
    }
    page.Finish();
    result.Pages = page.Pages();
    if (!painter.end()) {
        result.Error = "cannot write " + path;
    }
    return result;
}

} // namespace contents
