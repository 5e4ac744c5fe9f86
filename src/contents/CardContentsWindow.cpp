#include "contents/CardContentsWindow.h"

#include "contents/CardReport.h"
#include "contents/OpenCard.h"
#include "main/CardSession.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace contents {

namespace {

constexpr int kChartDays = 28;
// The header's facts in two columns of this many.
constexpr int kFactsPerColumn = 4;

std::function<QString(QWidget*, const QString&)>& PdfPathChooser() {
    static std::function<QString(QWidget*, const QString&)> chooser;
    return chooser;
}

std::function<QString(QWidget*, const QString&)>& FileChooser() {
    static std::function<QString(QWidget*, const QString&)> chooser;
    return chooser;
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// The chart reads best a little smaller than the window's text.
QFont ChartFont(const QWidget* widget) {
    QFont font = widget->font();
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(std::max(7.0, font.pointSizeF() * 0.9));
    }
    return font;
}

} // namespace

// ------------------------------------------------------------ the chart view

TDayChartView::TDayChartView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("DayChart"));
    setFont(ChartFont(this));
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

void TDayChartView::SetChart(TDayChart chart) {
    FChart = std::move(chart);
    updateGeometry();
    update();
}

QSize TDayChartView::sizeHint() const {
    const TChartMetrics sizes = TDayChart::Metrics(font(), const_cast<TDayChartView*>(this));
    const int rows = static_cast<int>(FChart.Rows().size());
    return {900, static_cast<int>(sizes.Header + rows * sizes.Row + sizes.Legend + 8)};
}

QSize TDayChartView::minimumSizeHint() const {
    return {640, sizeHint().height()};
}

void TDayChartView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    const TChartMetrics sizes = TDayChart::Metrics(font(), this);
    const int rows = static_cast<int>(FChart.Rows().size());
    const QRectF area = QRectF(rect()).adjusted(6, 2, -6, 0);
    FChart.Paint(painter, area, 0, rows);
    FChart.PaintLegend(painter, QRectF(area.left(), area.top() + sizes.Header + rows * sizes.Row,
                                       area.width(), sizes.Legend));
}

// ---------------------------------------------------------------- the window

TCardContentsWindow::TCardContentsWindow(carddata::TCardData data, TSignatureVerdict signatures,
                                         bool croatian, const QString& source, QWidget* parent)
    : QWidget(parent, Qt::Window), FData(std::move(data)), FSignatures(std::move(signatures)),
      FCroatian(croatian), FSource(source) {
    FJudgement = rules::Judge(FData.Days, {});
    setObjectName(QStringLiteral("CardContentsWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);

    FTitle = new QLabel(this);
    FTitle->setObjectName(QStringLiteral("DriverTitle"));
    QFont big = FTitle->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    FTitle->setFont(big);
    FTitle->setTextFormat(Qt::PlainText);
    layout->addWidget(FTitle);

    FWarning = new QLabel(this);
    FWarning->setObjectName(QStringLiteral("ValidityWarning"));
    FWarning->setTextFormat(Qt::PlainText);
    FWarning->setStyleSheet(QStringLiteral("QLabel { color: #b00020; font-weight: bold; }"));
    layout->addWidget(FWarning);

    auto* facts = new QGridLayout;
    facts->setHorizontalSpacing(12);
    const std::size_t count = HeaderFacts(FData, FSignatures, FCroatian).size();
    for (std::size_t i = 0; i < count; ++i) {
        auto* label = new QLabel(this);
        auto* value = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        value->setTextFormat(Qt::PlainText);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setForegroundRole(QPalette::PlaceholderText);
        const int row = static_cast<int>(i) % kFactsPerColumn;
        const int column = static_cast<int>(i) / kFactsPerColumn * 2;
        facts->addWidget(label, row, column);
        facts->addWidget(value, row, column + 1);
        FFactLabels.push_back(label);
        FFactValues.push_back(value);
    }
    facts->setColumnStretch(1, 1);
    facts->setColumnStretch(3, 1);
    layout->addLayout(facts);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    auto* chartBox = new QWidget(splitter);
    auto* chartLayout = new QVBoxLayout(chartBox);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    FChartTitle = new QLabel(chartBox);
    QFont bold = FChartTitle->font();
    bold.setBold(true);
    FChartTitle->setFont(bold);
    chartLayout->addWidget(FChartTitle);
    auto* scroll = new QScrollArea(chartBox);
    FChartView = new TDayChartView;
    scroll->setWidget(FChartView);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    chartLayout->addWidget(scroll);
    splitter->addWidget(chartBox);

    FTabs = new QTabWidget(splitter);
    for (QTableWidget** table : {&FVehicles, &FEvents, &FFaults, &FInfringements, &FErrors}) {
        *table = new QTableWidget(FTabs);
        (*table)->setEditTriggers(QAbstractItemView::NoEditTriggers);
        (*table)->setSelectionBehavior(QAbstractItemView::SelectRows);
        (*table)->verticalHeader()->setVisible(false);
        (*table)->horizontalHeader()->setStretchLastSection(true);
        (*table)->setWordWrap(false);
    }
    FVehicles->setObjectName(QStringLiteral("VehicleTable"));
    FEvents->setObjectName(QStringLiteral("EventTable"));
    FFaults->setObjectName(QStringLiteral("FaultTable"));
    FErrors->setObjectName(QStringLiteral("ErrorTable"));
    FInfringements->setObjectName(QStringLiteral("InfringementTable"));
    splitter->addWidget(FTabs);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    FSavePdf = new QPushButton(this);
    FSavePdf->setObjectName(QStringLiteral("SavePdfButton"));
    FClose = new QPushButton(this);
    FClose->setObjectName(QStringLiteral("CloseButton"));
    buttons->addWidget(FSavePdf);
    buttons->addWidget(FClose);
    layout->addLayout(buttons);
    connect(FSavePdf, &QPushButton::clicked, this, &TCardContentsWindow::SavePdfExecute);
    connect(FClose, &QPushButton::clicked, this, &QWidget::close);

    Fill();
    // The chart whole where the screen has room, the tables below it.
    const int chartHeight = FChartView->sizeHint().height() + FChartTitle->sizeHint().height() + 12;
    splitter->setSizes({chartHeight, 150});
    const QRect screen = this->screen()->availableGeometry();
    // Beside the chart: the header's facts, the tables' 150 and the buttons.
    const int height =
        chartHeight + 150 + layout->sizeHint().height() - splitter->sizeHint().height();
    resize(std::min(1060, screen.width()), std::min(height, screen.height() - 50));
}

void TCardContentsWindow::SetCroatian(bool croatian) {
    if (croatian != FCroatian) {
        FCroatian = croatian;
        Fill();
    }
}

void TCardContentsWindow::SetMarks(std::vector<TMark> marks) {
    FMarksFromRules = false;
    FMarks = std::move(marks);
    TDayChart chart = FChartView->Chart();
    chart.SetMarks(FMarks);
    FChartView->SetChart(std::move(chart));
}

QString TCardContentsWindow::ValidityWarningText() const {
    return FWarning->isHidden() ? QString() : FWarning->text();
}

QStringList TCardContentsWindow::FactTexts() const {
    QStringList texts;
    for (const QLabel* value : FFactValues) {
        texts << value->text();
    }
    return texts;
}

void TCardContentsWindow::Fill() {
    setWindowTitle(WindowTitle(FData, FCroatian));
    QString title = Q(FData.Driver.Surname);
    if (!FData.Driver.FirstNames.empty()) {
        title += QLatin1Char(' ') + Q(FData.Driver.FirstNames);
    }
    FTitle->setText(title.isEmpty() ? Tr(FCroatian, "Vozač nepoznat", "Driver unknown") : title);
    const QString warning = ValidityWarning(FData.Card, Now(), FCroatian);
    FWarning->setText(warning);
    FWarning->setVisible(!warning.isEmpty());

    const std::vector<TFact> facts = HeaderFacts(FData, FSignatures, FCroatian);
    for (std::size_t i = 0; i < facts.size() && i < FFactValues.size(); ++i) {
        FFactLabels[i]->setText(facts[i].Label + QLatin1Char(':'));
        FFactValues[i]->setText(facts[i].Value);
    }
    // The signatures' verdict is the one fact that must stand out when it is bad.
    if (!FFactValues.empty()) {
        FFactValues.back()->setStyleSheet(FSignatures.Verdict == TSignatures::NotValid
                                              ? QStringLiteral("QLabel { color: #b00020; }")
                                              : QString());
    }

    FChartTitle->setText(
        Tr(FCroatian, "Aktivnosti zadnjih %1 dana (UTC)", "Activities of the last %1 days (UTC)")
            .arg(kChartDays));
    if (FMarksFromRules) {
        FMarks = InfringementMarks(FJudgement, FCroatian);
    }
    FChartView->SetChart(TDayChart(ChartDays(FData, kChartDays), FCroatian, FMarks));

    const TTable vehicles = VehicleTable(FData, FCroatian);
    const TTable events = EventTable(FData.Events, false, FCroatian);
    const TTable faults = EventTable(FData.Faults, true, FCroatian);
    const TTable errors = ErrorTable(FData, FCroatian);
    const TTable infringements = InfringementTable(FJudgement, FCroatian);
    FTabs->clear();
    for (const auto& [table, contents] :
         {std::pair{FVehicles, &vehicles}, std::pair{FEvents, &events}, std::pair{FFaults, &faults},
          std::pair{FInfringements, &infringements}, std::pair{FErrors, &errors}}) {
        FillTable(table, *contents);
        if (table != FErrors || !contents->Rows.empty()) {
            FTabs->addTab(
                table, QStringLiteral("%1 (%2)").arg(contents->Title).arg(contents->Rows.size()));
        } else {
            table->hide();
        }
    }

    FSavePdf->setText(Tr(FCroatian, "Ispis u PDF...", "Save as PDF..."));
    FClose->setText(Tr(FCroatian, "Zatvori", "Close"));
}

void TCardContentsWindow::FillTable(QTableWidget* table, const TTable& contents) {
    table->setUpdatesEnabled(false);
    table->clear();
    table->setColumnCount(static_cast<int>(contents.Columns.size()));
    table->setHorizontalHeaderLabels(contents.Columns);
    table->setRowCount(static_cast<int>(contents.Rows.size()));
    for (int row = 0; row < table->rowCount(); ++row) {
        const QStringList& cells = contents.Rows[static_cast<std::size_t>(row)];
        for (int column = 0; column < cells.size() && column < table->columnCount(); ++column) {
            table->setItem(row, column, new QTableWidgetItem(cells[column]));
        }
    }
    // Sized from the header and the first rows: a card's hundreds of rows
    // would cost the window's opening time for no better fit.
    table->horizontalHeader()->setResizeContentsPrecision(50);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    table->resizeColumnsToContents();
    table->setUpdatesEnabled(true);
}

void TCardContentsWindow::SavePdfExecute() {
    QString suggested;
    if (!FSource.isEmpty()) {
        const QFileInfo source(FSource);
        suggested = source.dir().filePath(source.completeBaseName() + QStringLiteral(".pdf"));
    }
    const QString title = FSavePdf->text().remove(QStringLiteral("..."));
    const QString path =
        PdfPathChooser()
            ? PdfPathChooser()(this, suggested)
            : QFileDialog::getSaveFileName(this, title, suggested, QStringLiteral("PDF (*.pdf)"));
    if (!path.isEmpty()) {
        SavePdf(path);
    }
}

bool TCardContentsWindow::SavePdf(const QString& path) {
    TReportOptions options;
    options.Croatian = FCroatian;
    options.Signatures = FSignatures;
    options.Days = kChartDays;
    options.Marks = FMarks;
    const TReportResult result = WriteCardReport(FData, options, path.toStdString());
    if (!result.Error.empty()) {
        messagebox::Show(
            this, QStringLiteral("Dravik"),
            Tr(FCroatian, "PDF se ne može zapisati: %1", "The PDF cannot be written: %1").arg(path),
            messagebox::TIcon::Critical);
        return false;
    }
    return true;
}

void TCardContentsWindow::SetPdfPathChooser(
    std::function<QString(QWidget*, const QString&)> chooser) {
    PdfPathChooser() = std::move(chooser);
}

// ------------------------------------------------------------------ the entry

QString ContentsButtonText(bool croatian) {
    return Tr(croatian, "Sadržaj kartice", "Card contents");
}

TCardContentsEntry::TCardContentsEntry(QWidget* window, const TCardSession& session)
    : QObject(window), FWindow(window), FSession(session) {
    FAction = new QAction(this);
    FAction->setObjectName(QStringLiteral("CardContentsAction"));
    connect(FAction, &QAction::triggered, this, &TCardContentsEntry::ChooseAndOpen);
    LanguageChanged();
}

void TCardContentsEntry::LanguageChanged() {
    FAction->setText(Tr(FSession.FCroatian, "&Sadržaj kartice...", "&Card contents..."));
    for (TCardContentsWindow* window : Windows()) {
        window->SetCroatian(FSession.FCroatian);
    }
}

void TCardContentsEntry::ShowClosingMessage(const QString& text, messagebox::TIcon icon,
                                            const std::string& path) {
    if (path.empty()) {
        messagebox::Show(FWindow, QStringLiteral("Dravik"), text, icon);
        return;
    }
    if (messagebox::ShowWithButton(FWindow, QStringLiteral("Dravik"), text, icon,
                                   ContentsButtonText(FSession.FCroatian))) {
        Open(path);
    }
}

TCardContentsWindow* TCardContentsEntry::Open(const std::string& path) {
    TOpenedCard opened = OpenCardFile(path, FSession.FRootKeyPath, FSession.FRootG2Path);
    if (!opened.Error.empty()) {
        messagebox::Show(FWindow, QStringLiteral("Dravik"),
                         Tr(FSession.FCroatian, "Datoteka se ne može pročitati: %1",
                            "The file cannot be read: %1")
                             .arg(Q(path)),
                         messagebox::TIcon::Critical);
        return nullptr;
    }
    auto* window = new TCardContentsWindow(std::move(opened.Data), std::move(opened.Signatures),
                                           FSession.FCroatian, Q(path), FWindow);
    FWindows.erase(
        std::remove_if(FWindows.begin(), FWindows.end(),
                       [](const QPointer<TCardContentsWindow>& open) { return open.isNull(); }),
        FWindows.end());
    FWindows.emplace_back(window);
    window->show();
    return window;
}

void TCardContentsEntry::ChooseAndOpen() {
    const QString folder = Q(FSession.FArchiveFolder);
    const QString path =
        FileChooser()
            ? FileChooser()(FWindow, folder)
            : QFileDialog::getOpenFileName(
                  FWindow, FAction->text().remove(QLatin1Char('&')).remove(QStringLiteral("...")),
                  folder,
                  Tr(FSession.FCroatian, "Datoteke kartice (*.ddd *.DDD);;Sve datoteke (*)",
                     "Card download files (*.ddd *.DDD);;All files (*)"));
    if (!path.isEmpty()) {
        Open(path.toStdString());
    }
}

void TCardContentsEntry::SetFileChooser(std::function<QString(QWidget*, const QString&)> chooser) {
    FileChooser() = std::move(chooser);
}

std::vector<TCardContentsWindow*> TCardContentsEntry::Windows() const {
    std::vector<TCardContentsWindow*> open;
    for (const QPointer<TCardContentsWindow>& window : FWindows) {
        if (!window.isNull()) {
            open.push_back(window.data());
        }
    }
    return open;
}

} // namespace contents
