// The main window: start-up and shut-down, the message log, the reader list and
// the read button, the languages. The download itself lives in TCardSession.
#pragma once

#include "main/CardSession.h"
#include "smartcard/Reader.h"

#include <QMainWindow>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Ui {
class MainForm;
}
class TLogModel;
class QAction;
class QIcon;
namespace contents {
class TCardContentsEntry;
}
class TWindowRegister;

// The program's icon in every size drawn (resources/draw-icon.sh).
QIcon ApplicationIcon();

class TMainForm : public QMainWindow, public TCardSession {
    Q_OBJECT

public:
    // `library`: the PC/SC library to load; empty for the platform's own.
    explicit TMainForm(const std::string& library = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    void AddLog(const std::string& line) override;
    // The log's lines, oldest first.
    QStringList LogLines() const;
    // How many holds on the log's painting are open now.
    int LogHolds() const { return FLogHolds; }
    // A download's steps are running on their own thread.
    bool Downloading() const { return FDownloading; }

    void UpdateReadButton() override;
    void ApplyLanguage();
    TReaderObject* ReaderObjectAt(int index) const;
    Ui::MainForm* Form() const { return ui.get(); }

    // Handlers, public so that tests can run them as the toolkit would.
    void ReaderListChanged();
    void CardStateChanged(TReaderObject* sender);
    void ReaderListBoxSelect();
    void Action1Execute();
    void Action2Execute();
    void Action4Execute();
    void Action5Execute();
    void Image1Click();
    void Image3Click();
    // "Podaci": choose the archive folder (asks the user) and open it.
    void ArchiveFolderExecute();
    void OpenArchiveExecute();

    // The archive folder, remembered for the next start.
    void SetArchiveFolder(const QString& folder);
    QString ArchiveFolder() const;
    // The folder the archive takes when none was chosen.
    static QString DefaultArchiveFolder();
    QAction* ArchiveFolderAction() const { return FArchiveFolderAction; }
    QAction* OpenArchiveAction() const { return FOpenArchiveAction; }
    // The office register: "Vozači..." and "Registar..." under "Podaci".
    TWindowRegister* Register() const { return FRegister.get(); }

    static const char* const kImage1Url;
    static const char* const kImage3Url;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

    TCardDownload RunCardDownload(TReaderObject& reader) override;
    void ShowProgress(int filesDone, int filesToDo) override;
    void ShowBytes(std::size_t bytesDone, std::size_t bytesToDo) override;

    void ShowDownloadName(const std::string& name) override;
    TReaderObject* SelectedReader() override;
    void BeginLogUpdate() override;
    void EndLogUpdate() override;
    std::string ReadButtonCaption() const override;
    void SetReadButton(const std::string& caption, bool enabled) override;
    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void RecordDownload(const TCardIdentity& identity, const TDownloadOutcome& outcome) override;

private:
    // Runs `call` on the main thread from the event loop, after every call
    // handed over before it. Any thread; does not wait.
    void HandOver(std::function<void()> call);
    Q_INVOKABLE void RunHandedOver();

    void FormCreate(const std::string& library);
    void FormDestroy();
    void RefreshReaders();
    void SetActionTexts();
    void LoadSettings();
    void SetArchiveActionTexts();
    void ChooseWorkingFile();

    std::unique_ptr<Ui::MainForm> ui;
    TLogModel* FLogModel = nullptr;
    int FLogHolds = 0;
    std::unique_ptr<TReaderListThread> FReaderListThread;
    // The reader object of each ReaderListBox item, index for index.
    std::vector<std::unique_ptr<TReaderObject>> FReaderObjects;
    // Set once shut-down begins: watcher reports still on their way are ignored.
    bool FClosing = false;
    bool FDownloading = false;
    // When the running download began, and the time left it last showed
    // (its English text, which tells a change; both the download thread's own).
    std::chrono::steady_clock::time_point FDownloadStart;
    std::string FTimeLeftShown;
    // What the download's thread hands to the main thread, in order. Guarded
    // by our own lock, which the thread checkers see, rather than carried in
    // Qt's queued calls.
    std::mutex FHandedOverMutex;
    std::vector<std::function<void()>> FHandedOver;
    // The window was closed during a download: it closes once the download has ended.
    bool FCloseAfterDownload = false;
    QAction* FArchiveFolderAction = nullptr;
    QAction* FOpenArchiveAction = nullptr;
    contents::TCardContentsEntry* FContents = nullptr;

    std::unique_ptr<TWindowRegister> FRegister;

public:
    // The card-contents windows' way in: "Podaci" and the closing message.
    contents::TCardContentsEntry* CardContents() const { return FContents; }
};

// The application's names, where its settings are kept: called by main() and
// by the window's tests alike, after the QApplication is made.
void SetApplicationNames();
