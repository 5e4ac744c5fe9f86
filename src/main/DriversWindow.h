// The office register in the window: the "Vozači" / "Drivers" window with the
// due register, the register's setting ("Registar..." / "Register..."), and
// the record of every download the window files in the archive.
#pragma once

#include "register/Recorder.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QLineEdit;
class QMenu;
class QLabel;
class QTableWidget;
struct TCardIdentity;
struct TDownloadOutcome;

// The store setting's key; never holds a password.
constexpr char kRegisterStoreKey[] = "registerStore";

// The drivers' table: last download, due date and status, searched by name
// or card number.
class TDriversWindow : public QDialog {
    Q_OBJECT

public:
    TDriversWindow(std::shared_ptr<registry::TRecorder> recorder, bool croatian,
                   QWidget* parent = nullptr);

    // Reads the register again; an error shows in the window's status line.
    void Reload();
    // Shows only the rows whose card number or driver holds `text`.
    void Filter(const QString& text);
    // Writes the shown rows to `path` as CSV; false when the file cannot be written.
    bool ExportCsv(const QString& path);
    // The selected driver's files: the archive folder when it holds them
    // all, otherwise a folder they are exported to. Returns the folder, with the
    // system's own separators.
    QString OpenFiles();
    QTableWidget* Table() const { return FTable; }
    QLineEdit* Search() const { return FSearch; }

private:
    std::shared_ptr<registry::TRecorder> FRecorder;
    bool FCroatian;
    QLineEdit* FSearch = nullptr;
    QTableWidget* FTable = nullptr;
    QLabel* FStatus = nullptr;
};

// What the main window keeps of the register: its two entries under
// "Podaci", the recorder, and the line at start about who is due.
class TWindowRegister {
public:
    // Adds the entries to `menu` before `before`. `log` writes a log line.
    TWindowRegister(QWidget& window, QMenu& menu, QAction* before,
                    std::function<void(const std::string&)> log);
    ~TWindowRegister();

    void SetLanguage(bool croatian);
    // The store from the settings, for `archiveFolder`; what it missed is
    // added, and one line says when drivers are overdue or due within 7 days.
    void Start(const std::string& archiveFolder);
    // The download just filed as outcome.Path in `archiveFolder`;
    // `signaturesLine` is the log's "Signatures ..." line of it, or empty.
    void Record(const std::string& archiveFolder, const TCardIdentity& identity,
                const TDownloadOutcome& outcome, const std::string& signaturesLine);
    // "Registar...": asks for a PostgreSQL URL or a SQLite file; a URL with a
    // password is refused. Empty: the archive folder's own.
    void SetStore(const QString& location);
    void StoreExecute();
    // "Vozači...".
    TDriversWindow* DriversExecute();
    QAction* DriversAction() const { return FDriversAction; }
    QAction* StoreAction() const { return FStoreAction; }
    registry::TRecorder* Recorder() const { return FRecorder.get(); }

private:
    QWidget& FWindow;
    std::function<void(const std::string&)> FLog;
    bool FCroatian = true;
    std::string FArchiveFolder;
    std::shared_ptr<registry::TRecorder> FRecorder;
    QAction* FDriversAction = nullptr;
    QAction* FStoreAction = nullptr;
};
