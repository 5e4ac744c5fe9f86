#include "main/MainForm.h"

#include "archive/Archive.h"
#include "contents/CardContentsWindow.h"
#include "main/CardDownloadFile.h"
#include "main/DownloadTimeLeft.h"
#include "main/DriversWindow.h"
#include "main/LogModel.h"
#include "main/WindowMessageBox.h"
#include "platform/Platform.h"
#include "platform/Thread.h"
#include "ui_MainForm.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QIcon>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <exception>
#include <random>

const char* const TMainForm::kImage1Url = "https://www.velmark.example/";
const char* const TMainForm::kImage3Url = "https://www.velmark.example/dravik";

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// The progress bar's text of the form: files done of files; the time left
// follows it during a slow download.
constexpr char kProgressFormat[] = "%v / %m";

struct TActionTexts {
    const char* CroatianCaption;
    const char* EnglishCaption;
    const char* CroatianCategory;
    const char* EnglishCategory;
};

constexpr TActionTexts kActionTexts[] = {
    {"Postavke", "Settings", "Podaci", "Data"},   {"Izlazak", "Exit", "Podaci", "Data"},
    {"Autor", "Author", "O programu", "About"},   {"Hrvatski", "Croatian", "Jezik", "Language"},
    {"Engleski", "English", "Jezik", "Language"},
};

// Where the choices of the last run are kept.
constexpr char kLanguageKey[] = "language";
constexpr char kArchiveFolderKey[] = "archiveFolder";

bool CardIn(std::uint8_t state) {
    return state == csExclusive || state == csShared || state == csAvailable;
}

const char* CardStateWord(std::uint8_t state) {
    switch (state) {
    case csExclusive:
        return "exclusive";
    case csShared:
        return "shared";
    case csAvailable:
        return "available";
    case csBadCard:
        return "bad card";
    case csNoCard:
        return "no card";
    default:
        return "unknown";
    }
}

// The thread a download's steps run on.
class TDownloadThread : public TThread {
public:
    explicit TDownloadThread(std::function<void()> work) : FWork(std::move(work)) {}
    ~TDownloadThread() override { Stop(); }

protected:
    void Execute() override { FWork(); }

private:
    std::function<void()> FWork;
};

} // namespace

QIcon ApplicationIcon() {
    Q_INIT_RESOURCE(resources);
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/dravik-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

TMainForm::TMainForm(const std::string& library, QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::MainForm>()) {
    // The logos live in a static library whose resource object the linker would
    // otherwise drop: nothing else refers to it.
    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    setWindowIcon(ApplicationIcon());
    // The log panel wears the desktop's tooltip background, whatever the theme
    // makes of it, rather than one fixed colour.
    QPalette panel = ui->Panel8->palette();
    panel.setColor(QPalette::Window, panel.color(QPalette::ToolTipBase));
    ui->Panel8->setPalette(panel);
    FLogModel = new TLogModel(this);
    AttachLog(ui->LogBox, FLogModel);
    ui->MenuPodaci->insertAction(ui->Action2, ui->LogBox->SaveAction());
    ui->MenuPodaci->insertSeparator(ui->Action2);
    move(0, 0);

    connect(ui->BitBtn1, &QPushButton::clicked, this, [this] {
        BitBtn1Click();
        if (FCloseAfterDownload) {
            FCloseAfterDownload = false;
            close();
        }
    });
    connect(ui->ReaderListBox, qOverload<int>(&QComboBox::activated), this,
            [this](int) { ReaderListBoxSelect(); });
    connect(ui->Action1, &QAction::triggered, this, &TMainForm::Action1Execute);
    connect(ui->Action2, &QAction::triggered, this, &TMainForm::Action2Execute);
    connect(ui->Action4, &QAction::triggered, this, &TMainForm::Action4Execute);
    connect(ui->Action5, &QAction::triggered, this, &TMainForm::Action5Execute);
    // The languages are one choice, and the menu shows which.
    auto* languages = new QActionGroup(this);
    for (QAction* action : {ui->Action4, ui->Action5}) {
        action->setCheckable(true);
        languages->addAction(action);
    }
    // The archive's entries go before the separator that sets Exit apart.
    FArchiveFolderAction = new QAction(this);
    FArchiveFolderAction->setObjectName(QStringLiteral("ArchiveFolderAction"));
    FOpenArchiveAction = new QAction(this);
    FOpenArchiveAction->setObjectName(QStringLiteral("OpenArchiveAction"));
    FContents = new contents::TCardContentsEntry(this, *this);
    const QList<QAction*> data = ui->MenuPodaci->actions();
    const auto separator = std::find_if(
        data.begin(), data.end(), [](const QAction* action) { return action->isSeparator(); });
    ui->MenuPodaci->insertActions(separator != data.end() ? *separator : ui->Action2,
                                  {FArchiveFolderAction, FOpenArchiveAction, FContents->Action()});
    FRegister = std::make_unique<TWindowRegister>(
        *this, *ui->MenuPodaci, separator != data.end() ? *separator : ui->Action2,
        [this](const std::string& line) { AddLog(line); });
    connect(FArchiveFolderAction, &QAction::triggered, this, &TMainForm::ArchiveFolderExecute);
    connect(FOpenArchiveAction, &QAction::triggered, this, &TMainForm::OpenArchiveExecute);
    ui->Image1->installEventFilter(this);
    ui->Image3->installEventFilter(this);

    // Watchers hand their reports over from their own threads; the application
    // object outlives every window, so a late wake-up never reaches a dead one.
    mainthread::Adopt();
    mainthread::SetWaker([] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { mainthread::RunPending(); }, Qt::QueuedConnection);
    });
    // A report that fails (a new reader's watcher that cannot start) costs its
    // change, not the window.
    mainthread::SetErrorReporter([this](const std::string& line) { AddLog(line); });

    FormCreate(library);
}

TMainForm::~TMainForm() {
    FormDestroy();
}

void TMainForm::FormCreate(const std::string& library) {
    std::mt19937 random(
        static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count()));
    const int r = std::uniform_int_distribution<int>(0, 99)(random);
    ui->Image1->setVisible(r < 50);
    ui->Image3->setVisible(!ui->Image1->isVisibleTo(this));

    FCroatian = true;
    ui->CitacLabela->setText(QStringLiteral("Čitač kartica:"));
    ui->BitBtn1->setText(QStringLiteral("Umetnite tahografsku karticu"));
    LoadSettings();
    FContext = 0;
    InitSmartCard(library);
    ChooseWorkingFile();

    // The first filling happens before the watcher exists, and the watcher starts
    // only once its report is set, so no change is lost.
    ReaderListChanged();
    FReaderListThread = std::make_unique<TReaderListThread>(*FPCSC);
    FReaderListThread->OnReaderListChanged = [this] { ReaderListChanged(); };
    FReaderListThread->Start();
    FRegister->Start(FArchiveFolder);
}

void TMainForm::LoadSettings() {
    QSettings settings;
    FCroatian = settings.value(kLanguageKey).toString() != QStringLiteral("en");
    FArchiveFolder =
        settings.value(kArchiveFolderKey, DefaultArchiveFolder()).toString().toStdString();
    // The layout's captions are the Croatian ones already.
    if (!FCroatian) {
        ApplyLanguage();
    }
    SetArchiveActionTexts();
}

void TMainForm::SetArchiveActionTexts() {
    (FCroatian ? ui->Action4 : ui->Action5)->setChecked(true);
    FArchiveFolderAction->setText(FCroatian ? QStringLiteral("&Mapa arhive...")
                                            : QStringLiteral("&Archive folder..."));
    FOpenArchiveAction->setText(FCroatian ? QStringLiteral("&Otvori mapu arhive")
                                          : QStringLiteral("&Open archive folder"));
    FContents->LanguageChanged();
    FRegister->SetLanguage(FCroatian);
}

void TMainForm::ChooseWorkingFile() {
    const std::string beside = platform::ExecutableDir();
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    archive::TWorkingFile working;
    try {
        working = archive::WorkingFilePath(beside, data.toStdString());
    } catch (const archive::TError& error) {
        // Beside the program it stays then: the download's error box says why.
        AddLog(std::string("The working file's folder cannot be made: ") + error.what());
        return;
    }
    FOutputPath = working.Path;
    // What a download ended by force (a crash, a power cut) left beside it
    // and in the archive; never another running download's.
    RemoveStaleWorkingFiles(FOutputPath);
    archive::RemoveStaleCopies(FArchiveFolder);
    if (working.InDataFolder) {
        AddLog("The program's folder " + beside + " cannot be written; the working file is " +
               FOutputPath);
    }
}

QString TMainForm::DefaultArchiveFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(QStringLiteral("Dravik"));
}

QString TMainForm::ArchiveFolder() const {
    return QString::fromStdString(FArchiveFolder);
}

void TMainForm::SetArchiveFolder(const QString& folder) {
    if (folder.isEmpty()) {
        return;
    }
    FArchiveFolder = QDir::cleanPath(folder).toStdString();
    QSettings().setValue(kArchiveFolderKey, ArchiveFolder());
}

void TMainForm::ArchiveFolderExecute() {
    SetArchiveFolder(QFileDialog::getExistingDirectory(
        this, FArchiveFolderAction->text().remove(QLatin1Char('&')), ArchiveFolder()));
}

void TMainForm::OpenArchiveExecute() {
    // A folder not made yet (no download so far) is made, so that it opens.
    try {
        archive::MakeFolder(FArchiveFolder);
    } catch (const archive::TError& error) {
        AddLog(std::string("The archive folder cannot be made: ") + error.what());
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(ArchiveFolder()));
}

void TMainForm::FormDestroy() {
    FClosing = true;
    if (FReaderListThread) {
        FReaderListThread->Terminate();
    }
    for (auto& reader : FReaderObjects) {
        if (reader) {
            reader->StopWatching();
        }
    }
    for (auto& reader : FReaderObjects) {
        reader.reset();
    }
    if (FContext != 0) {
        FPCSC->Cancel(FContext);
        FPCSC->ReleaseContext(FContext);
    }
    FReaderListThread.reset();
    FPCSC->Unload();
    FPCSC.reset();
    mainthread::SetWaker({});
    mainthread::SetErrorReporter({});
}

// ------------------------------------------------------------------ the log

void TMainForm::AddLog(const std::string& line) {
    if (!mainthread::IsMainThread()) {
        // From the download's thread: the line joins the log from the event
        // loop, after every line posted before it.
        HandOver([this, text = Q(line)] { FLogModel->Append(text); });
        return;
    }
    FLogModel->Append(Q(line));
}

QStringList TMainForm::LogLines() const {
    QStringList lines;
    for (int row = 0; row < FLogModel->rowCount(); ++row) {
        lines << FLogModel->data(FLogModel->index(row)).toString();
    }
    return lines;
}

void TMainForm::BeginLogUpdate() {
    if (FLogHolds++ == 0) {
        ui->LogBox->setUpdatesEnabled(false);
    }
}

void TMainForm::EndLogUpdate() {
    if (FLogHolds > 0 && --FLogHolds == 0) {
        ui->LogBox->setUpdatesEnabled(true);
        // The download's end, with its result line, is what the user looks for.
        ui->LogBox->scrollToBottom();
    }
}

// ---------------------------------------------------------- the reader list

TReaderObject* TMainForm::ReaderObjectAt(int index) const {
    if (index < 0 || index >= static_cast<int>(FReaderObjects.size())) {
        return nullptr;
    }
    return FReaderObjects[static_cast<std::size_t>(index)].get();
}

TReaderObject* TMainForm::SelectedReader() {
    return ReaderObjectAt(ui->ReaderListBox->currentIndex());
}

void TMainForm::ReaderListChanged() {
    if (FClosing) {
        return;
    }
    AddLog("Reader list changed");
    RefreshReaders();
    if (ui->ReaderListBox->currentIndex() < 0 && ui->ReaderListBox->count() > 0) {
        ui->ReaderListBox->setCurrentIndex(0);
    }
    UpdateReadButton();
}

void TMainForm::RefreshReaders() {
    std::vector<std::string> names;
    ListReaders(names);
    QComboBox* box = ui->ReaderListBox;

    for (int i = box->count() - 1; i >= 0; --i) {
        const std::string text = box->itemText(i).toStdString();
        if (std::find(names.begin(), names.end(), text) != names.end()) {
            continue;
        }
        AddLog("Reader removed: " + text);
        // Freeing waits for the reader's watcher and runs its last report, which
        // must find the slot empty rather than a half-destroyed object.
        FReaderObjects[static_cast<std::size_t>(i)].reset();
        // Qt would move the selection to a neighbour; the list's own rule is that
        // the first remaining reader becomes selected.
        if (box->currentIndex() == i) {
            box->setCurrentIndex(-1);
        }
        box->removeItem(i);
        FReaderObjects.erase(FReaderObjects.begin() + i);
    }

    for (const std::string& name : names) {
        bool present = false;
        for (int i = 0; i < box->count() && !present; ++i) {
            present = box->itemText(i).toStdString() == name;
        }
        if (present) {
            continue;
        }
        auto reader = std::make_unique<TReaderObject>(name, *FPCSC);
        reader->OnCardStateChanged = [this](TReaderObject* sender) { CardStateChanged(sender); };
        FReaderObjects.push_back(std::move(reader));
        const QSignalBlocker blocker(box);
        box->addItem(Q(name));
        AddLog("New reader found: " + name);
    }
}

void TMainForm::CardStateChanged(TReaderObject* sender) {
    if (FClosing || sender == nullptr) {
        return;
    }
    AddLog("Card State changed in " + sender->ReaderName + " to ");
    AddLog(CardStateWord(sender->CardState));
    // A card put into another reader while the selected one holds none is
    // meant to be read: that reader becomes the selected one.
    const TReaderObject* selected = SelectedReader();
    if (sender != selected && CardIn(sender->CardState) &&
        (selected == nullptr || !CardIn(selected->CardState))) {
        for (int i = 0; i < static_cast<int>(FReaderObjects.size()); ++i) {
            if (FReaderObjects[static_cast<std::size_t>(i)].get() == sender) {
                ui->ReaderListBox->setCurrentIndex(i);
                ReaderListBoxSelect();
                return;
            }
        }
    }
    UpdateReadButton();
}

void TMainForm::ReaderListBoxSelect() {
    UpdateReadButton();
}

void TMainForm::UpdateReadButton() {
    // A download keeps its disabled "reading" button until it has ended,
    // whatever is selected or chosen meanwhile: no second download.
    if (FDownloading) {
        return;
    }
    SetReadButton(FCroatian ? "Nema spojenih čitača?" : "No card reader?", false);
    if (ui->ReaderListBox->currentIndex() < 0) {
        return;
    }
    const TReaderObject* reader = SelectedReader();
    const std::uint8_t state =
        reader != nullptr ? reader->CardState : static_cast<std::uint8_t>(csUnknown);
    if (state == csExclusive || state == csShared || state == csAvailable) {
        ui->BitBtn1->setEnabled(true);
        ui->BitBtn1->setText(
            Q(FCroatian ? "Preuzmi podatke s kartice" : "Read data from tachograph card"));
    } else {
        ui->BitBtn1->setText(
            Q(FCroatian ? "Umetnite tahografsku karticu" : "Insert tachograph card"));
    }
}

void SetApplicationNames() {
    QApplication::setApplicationName(QStringLiteral("Dravik"));
#ifdef _WIN32
    // Windows keeps settings under HKCU\Software\<organization>\<application>
    // and keeps none without an organization. On Linux the file stays
    // ~/.config/Dravik.conf, where earlier versions put it.
    QApplication::setOrganizationName(QStringLiteral("Dravik"));
#endif
}

// ------------------------------------------------------------ download hooks

void TMainForm::RecordDownload(const TCardIdentity& identity, const TDownloadOutcome& outcome) {
    // The download's own verdict line, the last one of its kind in the log.
    const QStringList lines = LogLines();
    std::string signatures;
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (line->startsWith(QStringLiteral("Signatures "))) {
            signatures = line->toStdString();
            break;
        }
    }
    FRegister->Record(FArchiveFolder, identity, outcome, signatures);
}

void TMainForm::ShowDownloadName(const std::string& name) {
    if (!mainthread::IsMainThread()) {
        HandOver([this, text = Q(name)] { ui->Edit1->setText(text); });
        return;
    }
    ui->Edit1->setText(Q(name));
}

void TMainForm::ShowProgress(int filesDone, int filesToDo) {
    HandOver([this, filesDone, filesToDo] {
        ui->ProgressBar1->setRange(0, filesToDo);
        ui->ProgressBar1->setValue(filesDone);
    });
}

void TMainForm::ShowBytes(std::size_t bytesDone, std::size_t bytesToDo) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - FDownloadStart;
    const std::optional<double> left = EstimateTimeLeft(elapsed.count(), bytesDone, bytesToDo);
    // A hand-over only when the shown text changes: a few a second, not one
    // a chunk. The language is the main thread's: the text is made there.
    std::string key = left ? TimeLeftText(*left, false) : std::string();
    if (key == FTimeLeftShown) {
        return;
    }
    FTimeLeftShown = key;
    HandOver([this, left] {
        ui->ProgressBar1->setFormat(left ? QString::fromLatin1(kProgressFormat) +
                                               QStringLiteral(" \u00B7 ") +
                                               Q(TimeLeftText(*left, FCroatian))
                                         : QString::fromLatin1(kProgressFormat));
    });
}

void TMainForm::HandOver(std::function<void()> call) {
    std::lock_guard lock(FHandedOverMutex);
    FHandedOver.push_back(std::move(call));
    // One wake-up for a run of calls: the first finds the queue empty.
    if (FHandedOver.size() == 1) {
        QMetaObject::invokeMethod(this, "RunHandedOver", Qt::QueuedConnection);
    }
}

void TMainForm::RunHandedOver() {
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard lock(FHandedOverMutex);
        calls.swap(FHandedOver);
    }
    for (const auto& call : calls) {
        call();
    }
}

TCardDownload TMainForm::RunCardDownload(TReaderObject& reader) {
    // The steps get a context of their own, established here: pcsc-lite wants
    // one per thread and its first establishment on one thread at a time.
    SCARDCONTEXT context = 0;
    if (FPCSC->EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != pcsc::kSuccess) {
        // No service to talk to: the connection fails at once, as it always did.
        return TCardSession::RunCardDownload(reader);
    }
    // The watchers' reports wait until the download has ended, as they did
    // while it held the main thread: none may change or free `reader` under a
    // running step, nor log between its lines.
    mainthread::Hold();
    FDownloading = true;
    FDownloadStart = std::chrono::steady_clock::now();
    FTimeLeftShown.clear();
    ui->ProgressBar1->setFormat(QString::fromLatin1(kProgressFormat));
    ui->ProgressBar1->setRange(0, 0);
    ui->ProgressBar1->setVisible(true);

    TCardDownload download;
    std::exception_ptr failure;
    bool finished = false;
    {
        TDownloadThread steps([&] {
            try {
                download = DownloadCard(reader, context);
            } catch (...) {
                failure = std::current_exception();
            }
            // Handed over after every line of the download, so run after them.
            HandOver([&finished] { finished = true; });
        });
        steps.Start();
        // The window goes on painting and answering; a close asked meanwhile
        // stops the steps (closeEvent) and waits for them here.
        // A wake-up that never arrives (seen under wine's event dispatcher)
        // must not leave the window waiting for ever: the timer wakes the
        // loop, and the loop runs whatever the steps handed over.
        QTimer wake;
        wake.start(20);
        while (!finished) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            RunHandedOver();
        }
    }
    FPCSC->ReleaseContext(context);
    ui->ProgressBar1->setVisible(false);
    ui->ProgressBar1->setFormat(QString::fromLatin1(kProgressFormat));
    FDownloading = false;
    mainthread::Release();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return download;
}

std::string TMainForm::ReadButtonCaption() const {
    return ui->BitBtn1->text().toStdString();
}

void TMainForm::SetReadButton(const std::string& caption, bool enabled) {
    ui->BitBtn1->setText(Q(caption));
    ui->BitBtn1->setEnabled(enabled);
}

void TMainForm::ShowMessage(const std::string& text) {
    // Closed during the download: whoever closed it waits for no message.
    if (FCloseAfterDownload) {
        return;
    }
    // A driver card's file, kept: its contents are a button away.
    const bool contents = FLastOutcome.Saved && CardNumberRead(FLastIdentity.CardNumber);
    FContents->ShowClosingMessage(
        Q(text), FLastOutcome.Good() ? messagebox::TIcon::Information : messagebox::TIcon::Warning,
        contents ? FLastOutcome.Path : std::string());
}

void TMainForm::ShowError(const std::string& text) {
    if (FCloseAfterDownload) {
        return;
    }
    // The file and the system's own words beside its number, so that whoever
    // looks after the computer can act on it.
    std::string shown = text;
    if (!FLastOutcome.ErrorPath.empty()) {
        shown +=
            std::string("\r\r") + (FCroatian ? "Datoteka: " : "File: ") + FLastOutcome.ErrorPath;
    }
    if (FLastOutcome.ErrorNumber != 0) {
        shown += std::string("\r") + (FCroatian ? "Greška sustava " : "System error ") +
                 std::to_string(FLastOutcome.ErrorNumber) + ": " +
                 archive::SystemText(FLastOutcome.ErrorNumber);
    }
    messagebox::Show(this, QStringLiteral("Dravik"), Q(shown), messagebox::TIcon::Critical);
}

// ------------------------------------------------------- languages and menu

void TMainForm::SetActionTexts() {
    QAction* actions[] = {ui->Action1, ui->Action2, ui->Action3, ui->Action4, ui->Action5};
    for (std::size_t i = 0; i < std::size(actions); ++i) {
        const TActionTexts& texts = kActionTexts[i];
        actions[i]->setText(
            QString::fromUtf8(FCroatian ? texts.CroatianCaption : texts.EnglishCaption));
        actions[i]->setProperty("category", QString::fromUtf8(FCroatian ? texts.CroatianCategory
                                                                        : texts.EnglishCategory));
    }
}

void TMainForm::ApplyLanguage() {
    ui->CitacLabela->setText(FCroatian ? QStringLiteral("Čitač kartica:")
                                       : QStringLiteral("Card reader:"));
    if (FDownloading) {
        ui->BitBtn1->setText(FCroatian ? QStringLiteral("Čitanje u tijeku...")
                                       : QStringLiteral("Reading..."));
    } else {
        ui->BitBtn1->setText(FCroatian ? QStringLiteral("Umetnite tahografsku karticu")
                                       : QStringLiteral("Insert tachograph card"));
    }
    SetActionTexts();
    SetArchiveActionTexts();
    ui->LogBox->SetCroatian(FCroatian);
    UpdateReadButton();
}

void TMainForm::Action1Execute() {}

void TMainForm::Action2Execute() {
    close();
}

void TMainForm::Action4Execute() {
    FCroatian = true;
    ApplyLanguage();
    QSettings().setValue(kLanguageKey, QStringLiteral("hr"));
}

void TMainForm::Action5Execute() {
    FCroatian = false;
    ApplyLanguage();
    QSettings().setValue(kLanguageKey, QStringLiteral("en"));
}

void TMainForm::Image1Click() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kImage1Url)));
}

void TMainForm::Image3Click() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kImage3Url)));
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (FDownloading) {
        // Steps are running on the download's thread: they stop before their
        // next command, release the card and close the file, and the window
        // closes once the download has ended.
        StopDownload();
        FCloseAfterDownload = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == ui->Image1) {
            Image1Click();
            return true;
        }
        if (watched == ui->Image3) {
            Image3Click();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
