// The card-contents window: who the driver is, whether the card is still
// valid, the period it covers and its last download, the day chart of the
// last 28 days, the vehicles, events and faults, and the signatures'
// verdict; saved as a PDF on request. And its entry from the main window:
// the "Podaci" menu's item and the closing message's own button.
#pragma once

#include "carddata/CardData.h"
#include "contents/ContentsText.h"
#include "contents/DayChart.h"
#include "main/WindowMessageBox.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QPushButton;
class QTabWidget;
class QTableWidget;
class TCardSession;

namespace contents {

// Paints a TDayChart in the window's font, as tall as its rows.
class TDayChartView : public QWidget {
public:
    explicit TDayChartView(QWidget* parent = nullptr);
    void SetChart(TDayChart chart);
    const TDayChart& Chart() const { return FChart; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TDayChart FChart;
};

class TCardContentsWindow : public QWidget {
    Q_OBJECT

public:
    // `source`: the file it came from, where the PDF is offered beside; may be empty.
    TCardContentsWindow(carddata::TCardData data, TSignatureVerdict signatures, bool croatian,
                        const QString& source = {}, QWidget* parent = nullptr);

    void SetCroatian(bool croatian);
    // Stretches the chart points out, such as the rules broken; drawn over the days.
    void SetMarks(std::vector<TMark> marks);

    const carddata::TCardData& Data() const { return FData; }
    TDayChartView* ChartView() const { return FChartView; }
    // The validity warning's text; empty when the card has none.
    QString ValidityWarningText() const;
    // The header's values in order (driver first), as shown.
    QStringList FactTexts() const;

    // "Save as PDF...": asks where (through the chooser), then writes.
    void SavePdfExecute();
    // Writes the report to `path`; an error box when it cannot. True when written.
    bool SavePdf(const QString& path);
    // Replaces the save dialog: gets the window and the suggested path and
    // returns the chosen one (empty: cancelled). An empty chooser brings the
    // dialog back.
    static void SetPdfPathChooser(std::function<QString(QWidget*, const QString&)> chooser);

private:
    void Fill();
    void FillTable(QTableWidget* table, const TTable& contents);

    carddata::TCardData FData;
    TSignatureVerdict FSignatures;
    bool FCroatian = true;
    QString FSource;
    std::vector<TMark> FMarks;
    rules::TJudgement FJudgement;
    bool FMarksFromRules = true;

    QLabel* FTitle = nullptr;
    QLabel* FWarning = nullptr;
    std::vector<QLabel*> FFactLabels, FFactValues;
    QLabel* FChartTitle = nullptr;
    TDayChartView* FChartView = nullptr;
    QTabWidget* FTabs = nullptr;
    QTableWidget* FVehicles = nullptr;
    QTableWidget* FEvents = nullptr;
    QTableWidget* FFaults = nullptr;
    QTableWidget* FErrors = nullptr;
    QTableWidget* FInfringements = nullptr;
    QPushButton* FSavePdf = nullptr;
    QPushButton* FClose = nullptr;
};

// The main window's way in: the "Podaci" menu's item (any .ddd file, the
// archive folder first) and the closing message's button for the file just
// downloaded. Follows the session's language and keeps it for the windows
// it opened.
class TCardContentsEntry : public QObject {
public:
    TCardContentsEntry(QWidget* window, const TCardSession& session);

    QAction* Action() const { return FAction; }
    // The session's language changed: the item and every open window follow.
    void LanguageChanged();
    // The closing message; with a `path`, its own button opens that file.
    void ShowClosingMessage(const QString& text, messagebox::TIcon icon, const std::string& path);
    // The file's contents in a window of their own; an error box, and null,
    // when it cannot be read.
    TCardContentsWindow* Open(const std::string& path);
    // Asks for a file in the archive folder and opens it.
    void ChooseAndOpen();
    // Replaces the open dialog: gets the window and the folder, returns the
    // chosen file (empty: cancelled). An empty chooser brings the dialog back.
    static void SetFileChooser(std::function<QString(QWidget*, const QString&)> chooser);
    // The windows opened and still open, oldest first.
    std::vector<TCardContentsWindow*> Windows() const;

private:
    QWidget* FWindow;
    const TCardSession& FSession;
    QAction* FAction = nullptr;
    std::vector<QPointer<TCardContentsWindow>> FWindows;
};

// The closing message's button that opens the downloaded card's contents.
QString ContentsButtonText(bool croatian);

} // namespace contents
