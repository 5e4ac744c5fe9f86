#include "main/DriversWindow.h"

#include "archive/Archive.h"
#include "main/CardSession.h"
#include "main/WindowMessageBox.h"
#include "platform/Platform.h"

#include <QAction>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <ctime>

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QString Tr(bool croatian, const char* hr, const char* en) {
    return QString::fromUtf8(croatian ? hr : en);
}

QString DateText(registry::TTime time) {
    return QDateTime::fromSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString StatusText(registry::TStatus status, bool croatian) {
    switch (status) {
    case registry::TStatus::Overdue:
        return Tr(croatian, "zakašnjelo", "overdue");
    case registry::TStatus::DueSoon:
        return Tr(croatian, "uskoro", "due soon");
    case registry::TStatus::Ok:
        break;
    }
    return Tr(croatian, "u redu", "ok");
}

enum TColumn { kCard, kDriver, kLast, kDue, kStatus, kCount, kColumns };

// A cell as CSV: quoted, quotes doubled; a leading =, +, - or @ would be
// taken for a formula by a spreadsheet, so it gets an apostrophe first.
QString CsvCell(QString text) {
    if (!text.isEmpty() && QStringLiteral("=+-@").contains(text.front())) {
        text.prepend(QLatin1Char('\''));
    }
    text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

TDriversWindow::TDriversWindow(std::shared_ptr<registry::TRecorder> recorder, bool croatian,
                               QWidget* parent)
    : QDialog(parent), FRecorder(std::move(recorder)), FCroatian(croatian) {
    setObjectName(QStringLiteral("DriversWindow"));
    setWindowTitle(Tr(croatian, "Vozači", "Drivers"));
    resize(820, 480);
    auto* layout = new QVBoxLayout(this);
    FSearch = new QLineEdit(this);
    FSearch->setObjectName(QStringLiteral("DriversSearch"));
    FSearch->setPlaceholderText(
        Tr(croatian, "Traži po imenu ili broju kartice", "Search by name or card number"));
    FSearch->setClearButtonEnabled(true);
    layout->addWidget(FSearch);
    FTable = new QTableWidget(0, kColumns, this);
    FTable->setObjectName(QStringLiteral("DriversTable"));
    FTable->setHorizontalHeaderLabels(
        {Tr(croatian, "Broj kartice", "Card number"), Tr(croatian, "Vozač", "Driver"),
         Tr(croatian, "Zadnje preuzimanje", "Last download"), Tr(croatian, "Rok", "Due"),
         Tr(croatian, "Stanje", "Status"), Tr(croatian, "Preuzimanja", "Downloads")});
    FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FTable->setSelectionMode(QAbstractItemView::SingleSelection);
    FTable->verticalHeader()->hide();
    FTable->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(FTable);
    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("DriversStatus"));
    FStatus->setWordWrap(true);
    layout->addWidget(FStatus);
    auto* buttons = new QHBoxLayout;
    auto* open = new QPushButton(Tr(croatian, "&Otvori datoteke", "&Open files"), this);
    auto* csv = new QPushButton(Tr(croatian, "&Izvoz CSV...", "&Export CSV..."), this);
    auto* reload = new QPushButton(Tr(croatian, "O&svježi", "&Refresh"), this);
    auto* close = new QPushButton(Tr(croatian, "&Zatvori", "&Close"), this);
    buttons->addWidget(open);
    buttons->addWidget(csv);
    buttons->addWidget(reload);
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);

    connect(FSearch, &QLineEdit::textChanged, this, &TDriversWindow::Filter);
    connect(open, &QPushButton::clicked, this, [this] { OpenFiles(); });
    connect(FTable, &QTableWidget::cellDoubleClicked, this, [this] { OpenFiles(); });
    connect(reload, &QPushButton::clicked, this, &TDriversWindow::Reload);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(csv, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, Tr(FCroatian, "Izvoz CSV", "Export CSV"),
            QDir::home().filePath(QStringLiteral("vozaci.csv")), QStringLiteral("CSV (*.csv)"));
        if (!path.isEmpty() && !ExportCsv(path)) {
            messagebox::Show(
                this, windowTitle(),
                Tr(FCroatian, "Datoteka se ne može zapisati: ", "The file cannot be written: ") +
                    path,
                messagebox::TIcon::Warning);
        }
    });
    Reload();
}

void TDriversWindow::Reload() {
    FTable->setRowCount(0);
    std::string error;
    registry::TStore* store = FRecorder->Store(&error);
    std::vector<registry::TDueEntry> entries;
    if (store != nullptr) {
        try {
            entries = registry::DueRegister(*store, std::time(nullptr));
        } catch (const registry::TStoreError& failure) {
            error = failure.what();
        }
    }
    if (!error.empty()) {
        FStatus->setText(
            Tr(FCroatian, "Registar nije dostupan: ", "The register cannot be reached: ") +
            Q(error));
        return;
    }
    FTable->setSortingEnabled(false);
    FTable->setRowCount(static_cast<int>(entries.size()));
    int overdue = 0, soon = 0;
    for (int row = 0; row < static_cast<int>(entries.size()); ++row) {
        const registry::TDueEntry& entry = entries[static_cast<std::size_t>(row)];
        QString last = DateText(entry.Entry.LastDownload);
        if (!entry.Entry.LastWhole) {
            last += Tr(FCroatian, " (nepotpuno)", " (not whole)");
        }
        const QString cells[kColumns] = {Q(entry.Entry.CardNumber),
                                         Q(entry.Entry.Driver),
                                         last,
                                         DateText(entry.Due),
                                         StatusText(entry.Status, FCroatian),
                                         QString::number(entry.Entry.Downloads)};
        // Overdue red, due soon amber: the two an office acts on.
        const QColor colour = entry.Status == registry::TStatus::Overdue ? QColor(0xF4, 0xB4, 0xB4)
                              : entry.Status == registry::TStatus::DueSoon
                                  ? QColor(0xFF, 0xD8, 0x80)
                                  : QColor();
        for (int column = 0; column < kColumns; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            if (colour.isValid()) {
                item->setBackground(colour);
                item->setForeground(Qt::black);
            }
            FTable->setItem(row, column, item);
        }
        overdue += entry.Status == registry::TStatus::Overdue;
        soon += entry.Status == registry::TStatus::DueSoon;
    }
    FTable->resizeColumnsToContents();
    FStatus->setText((FCroatian ? QStringLiteral("Vozača: %1, zakašnjelih: %2, uskoro: %3 (%4)")
                                : QStringLiteral("Drivers: %1, overdue: %2, due soon: %3 (%4)"))
                         .arg(entries.size())
                         .arg(overdue)
                         .arg(soon)
                         .arg(Q(FRecorder->StoreName())));
    Filter(FSearch->text());
}

void TDriversWindow::Filter(const QString& text) {
    const QString wanted = text.trimmed();
    for (int row = 0; row < FTable->rowCount(); ++row) {
        const bool shown = wanted.isEmpty() ||
                           FTable->item(row, kCard)->text().contains(wanted, Qt::CaseInsensitive) ||
                           FTable->item(row, kDriver)->text().contains(wanted, Qt::CaseInsensitive);
        FTable->setRowHidden(row, !shown);
    }
}

bool TDriversWindow::ExportCsv(const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        return false;
    }
    QStringList header;
    for (int column = 0; column < kColumns; ++column) {
        header << CsvCell(FTable->horizontalHeaderItem(column)->text());
    }
    QString text = header.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (int row = 0; row < FTable->rowCount(); ++row) {
        if (FTable->isRowHidden(row)) {
            continue;
        }
        QStringList cells;
        for (int column = 0; column < kColumns; ++column) {
            cells << CsvCell(FTable->item(row, column)->text());
        }
        text += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    file.write(text.toUtf8());
    return file.commit();
}

QString TDriversWindow::OpenFiles() {
    const int row = FTable->currentRow();
    if (row < 0 || FTable->isRowHidden(row)) {
        return {};
    }
    const std::string card = FTable->item(row, kCard)->text().toStdString();
    std::string error;
    std::vector<registry::TDownload> files;
    if (registry::TStore* store = FRecorder->Store(&error)) {
        try {
            files = store->Files(card, true);
        } catch (const registry::TStoreError& failure) {
            error = failure.what();
        }
    }
    if (!error.empty()) {
        FStatus->setText(
            Tr(FCroatian, "Registar nije dostupan: ", "The register cannot be reached: ") +
            Q(error));
        return {};
    }
    // The archive folder when it holds every file of the card (this PC made
    // them); otherwise, a download made at another depot, the files are
    // written from the register into a folder of their own.
    const QDir archive(Q(FRecorder->ArchiveFolder()));
    bool allHere = !FRecorder->ArchiveFolder().empty();
    for (const registry::TDownload& download : files) {
        allHere = allHere && archive.exists(Q(download.FileName));
    }
    QString folder = archive.path();
    if (!allHere) {
        folder = QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
                     .filePath(QStringLiteral("Dravik-") + Q(archive::SafeName(card)));
        QDir().mkpath(folder);
        for (const registry::TDownload& download : files) {
            QString name = Q(archive::SafeName(download.FileName));
            if (name.isEmpty() || name.startsWith(QLatin1Char('.'))) {
                name.prepend(QStringLiteral("C_"));
            }
            QSaveFile out(QDir(folder).filePath(name));
            if (!out.open(QIODevice::WriteOnly) ||
                out.write(reinterpret_cast<const char*>(download.Bytes.data()),
                          static_cast<qint64>(download.Bytes.size())) !=
                    static_cast<qint64>(download.Bytes.size()) ||
                !out.commit()) {
                FStatus->setText(Tr(FCroatian, "Datoteka se ne može zapisati: ",
                                    "The file cannot be written: ") +
                                 QDir::toNativeSeparators(out.fileName()));
                return {};
            }
        }
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    // As the user's paths are written, with the system's own separator.
    return QDir::toNativeSeparators(folder);
}

// ------------------------------------------------ the main window's side

TWindowRegister::TWindowRegister(QWidget& window, QMenu& menu, QAction* before,
                                 std::function<void(const std::string&)> log)
    : FWindow(window), FLog(std::move(log)) {
    FDriversAction = new QAction(&window);
    FDriversAction->setObjectName(QStringLiteral("DriversAction"));
    FStoreAction = new QAction(&window);
    FStoreAction->setObjectName(QStringLiteral("RegisterStoreAction"));
    menu.insertActions(before, {FDriversAction, FStoreAction});
    QObject::connect(FDriversAction, &QAction::triggered, &window, [this] { DriversExecute(); });
    QObject::connect(FStoreAction, &QAction::triggered, &window, [this] { StoreExecute(); });
    SetLanguage(true);
}

TWindowRegister::~TWindowRegister() = default;

void TWindowRegister::SetLanguage(bool croatian) {
    FCroatian = croatian;
    FDriversAction->setText(Tr(croatian, "&Vozači...", "&Drivers..."));
    FStoreAction->setText(Tr(croatian, "&Registar...", "&Register..."));
}

void TWindowRegister::Start(const std::string& archiveFolder) {
    FArchiveFolder = archiveFolder;
    const QString location = QSettings().value(kRegisterStoreKey).toString();
    FRecorder = std::make_shared<registry::TRecorder>(location.toStdString(), archiveFolder);
    const registry::TRecorder::TNote note = FRecorder->CatchUp();
    if (note.Kind == registry::TRecorder::TKind::Off) {
        return;
    }
    if (note.Kind == registry::TRecorder::TKind::Failed) {
        FLog((FCroatian ? "Registar nije dostupan (" : "The register cannot be reached (") +
             note.Error +
             (FCroatian ? "); preuzimanja ostaju u mapi arhive i upisuju se kasnije."
                        : "); downloads stay in the archive folder and are recorded later."));
        return;
    }
    if (note.CaughtUp > 0) {
        FLog((FCroatian ? "Registar: upisano ranijih preuzimanja: "
                        : "Register: earlier downloads recorded: ") +
             std::to_string(note.CaughtUp));
    }
    try {
        int overdue = 0, soon = 0;
        for (const registry::TDueEntry& entry :
             registry::DueRegister(*FRecorder->Store(), std::time(nullptr))) {
            overdue += entry.Status == registry::TStatus::Overdue;
            soon += entry.Status == registry::TStatus::DueSoon;
        }
        if (overdue + soon > 0) {
            FLog(FCroatian
                     ? "Vozači: zakašnjelo preuzimanje kartice " + std::to_string(overdue) +
                           ", rok u idućih 7 dana " + std::to_string(soon) + " (Podaci > Vozači)"
                     : "Drivers: card download overdue " + std::to_string(overdue) +
                           ", due within 7 days " + std::to_string(soon) + " (Data > Drivers)");
        }
    } catch (const registry::TStoreError& failure) {
        FLog(std::string(FCroatian ? "Registar nije dostupan: "
                                   : "The register cannot be reached: ") +
             failure.what());
    }
}

void TWindowRegister::Record(const std::string& archiveFolder, const TCardIdentity& identity,
                             const TDownloadOutcome& outcome, const std::string& signaturesLine) {
    // The archive folder changed since: its own register, unless one is set.
    if (!FRecorder || archiveFolder != FArchiveFolder) {
        FArchiveFolder = archiveFolder;
        FRecorder = std::make_shared<registry::TRecorder>(
            QSettings().value(kRegisterStoreKey).toString().toStdString(), archiveFolder);
    }
    registry::TDownloadFacts facts;
    const std::string number = platform::Iso8859ToUtf8(identity.CardNumber, 1);
    const auto first = number.find_first_not_of(' ');
    facts.CardNumber = first == std::string::npos
                           ? std::string()
                           : number.substr(first, number.find_last_not_of(' ') - first + 1);
    facts.Driver = identity.DriverDisplay;
    facts.Generation = identity.Generation;
    facts.Whole = outcome.Whole;
    facts.Signatures = !outcome.SignaturesValid ? registry::TVerdict::NotValid
                       : !outcome.Signed        ? registry::TVerdict::NotSigned
                       : signaturesLine.rfind("Signatures valid", 0) == 0
                           ? registry::TVerdict::Valid
                           : registry::TVerdict::NotChecked;
    const registry::TRecorder::TNote note = FRecorder->RecordDownload(outcome.Path, facts);
    // A download recorded as it should be needs no line of its own: the
    // result line says where it is. What went wrong, or was made good, does.
    if (note.Kind != registry::TRecorder::TKind::Failed) {
        if (note.CaughtUp > 0) {
            FLog(registry::TRecorder::EnglishLine(note, outcome.Path, FRecorder->StoreName()));
        }
        return;
    }
    FLog(FCroatian ? "Registar: NIJE upisano (" + note.Error + "); preuzimanje je spremljeno u " +
                         outcome.Path + " i upisuje se pri idućem pokretanju ili uvozom"
                   : registry::TRecorder::EnglishLine(note, outcome.Path, FRecorder->StoreName()));
}

void TWindowRegister::SetStore(const QString& location) {
    const std::string text = location.trimmed().toStdString();
    if (registry::HasPassword(text)) {
        messagebox::Show(
            &FWindow, FStoreAction->text().remove(QLatin1Char('&')),
            Tr(FCroatian,
               "Lozinka se ne sprema u postavke. Upišite adresu bez lozinke, a lozinku "
               "stavite u datoteku lozinki (.pgpass, na Windowsu "
               "%APPDATA%\\postgresql\\pgpass.conf) "
               "ili u datoteku usluge (pg_service.conf, service=IME).",
               "A password is never kept in the settings. Give the address without it and put "
               "the password in libpq's password file (.pgpass, on Windows "
               "%APPDATA%\\postgresql\\pgpass.conf) or a service file (pg_service.conf, "
               "service=NAME)."),
            messagebox::TIcon::Warning);
        return;
    }
    QSettings().setValue(kRegisterStoreKey, QString::fromStdString(text));
    Start(FArchiveFolder);
    FLog((FCroatian ? "Registar: " : "Register: ") + FRecorder->StoreName());
}

void TWindowRegister::StoreExecute() {
    bool ok = false;
    const QString location = QInputDialog::getText(
        &FWindow, FStoreAction->text().remove(QLatin1Char('&')),
        Tr(FCroatian,
           "Zajednički registar (postgresql://korisnik@poslužitelj/baza ili service=IME) ili "
           "datoteka SQLite; prazno: dravik.sqlite u mapi arhive.",
           "A shared register (postgresql://user@host/db or service=NAME) or a SQLite file; "
           "empty: dravik.sqlite in the archive folder."),
        QLineEdit::Normal, QSettings().value(kRegisterStoreKey).toString(), &ok);
    if (ok) {
        SetStore(location);
    }
}

TDriversWindow* TWindowRegister::DriversExecute() {
    if (!FRecorder) {
        Start(FArchiveFolder);
    }
    auto* window = new TDriversWindow(FRecorder, FCroatian, &FWindow);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}
