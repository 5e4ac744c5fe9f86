#include "InProcessRuns.h"

#include "WindowTestUtil.h"
#include "main/CardSession.h"
#include "main/MainForm.h"
#include "main/WindowMessageBox.h"
#include "ui_MainForm.h"

#include <QApplication>
#include <chrono>
#include <fstream>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kReader = "Virtual PCD 00 00";

// What dravik-download's session does in its hooks: the log goes out line by
// line to a stream (here one nobody reads), the rest is kept.
class TCommandLineLikeSession : public TCardSession {
public:
    TReaderObject* Reader = nullptr;
    std::string Message;
    std::string Error;
    std::string DownloadName;

    void AddLog(const std::string& line) override { Out << line << '\n'; }

protected:
    void ShowDownloadName(const std::string& name) override { DownloadName = name; }
    TReaderObject* SelectedReader() override { return Reader; }
    void BeginLogUpdate() override {}
    void EndLogUpdate() override { Out.flush(); }
    std::string ReadButtonCaption() const override { return {}; }
    void SetReadButton(const std::string&, bool) override {}
    void UpdateReadButton() override {}
    void ShowMessage(const std::string& text) override { Message = text; }
    void ShowError(const std::string& text) override { Error = text; }

private:
    std::ofstream Out{"/dev/null"};
};

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A closing message of a whole download, or why it is not one.
std::string Check(const std::string& who, const std::string& message, const std::string& error) {
    if (!error.empty()) {
        return who + ": " + error;
    }
    if (message.rfind("Kartica: ", 0) != 0 ||
        message.find(kIncompleteWarning) != std::string::npos) {
        return who + ": the download was not whole: " + message;
    }
    return {};
}

} // namespace

TInProcessTimes TimeInProcess(int argc, char* argv[], const std::string& folder, int warmUps,
                              int rounds) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    TInProcessTimes times;

    QString boxText;
    messagebox::SetHandler([&](const QString&, const QString& text) { boxText = text; });

    TMainForm window;
    window.FOutputPath = folder + "/window.ddd";
    // The window keeps every download in its archive as well: in the bench's
    // folder, never the user's documents.
    window.FArchiveFolder = folder + "/archive";
    window.show();
    Ui::MainForm* ui = window.Form();
    const int index = ui->ReaderListBox->findText(QString::fromStdString(kReader));

    TCommandLineLikeSession session;
    session.FOutputPath = folder + "/session.ddd";
    session.InitSmartCard();
    TReaderObject sessionReader(kReader, *session.FPCSC);
    session.Reader = &sessionReader;

    // Both see the card again after each download released it.
    auto ready = [&] {
        return windowtest::ProcessUntil([&] {
            TReaderObject* windowReader = window.ReaderObjectAt(index);
            return windowReader != nullptr && windowReader->CardState == csAvailable &&
                   sessionReader.CardState == csAvailable;
        });
    };
    if (index < 0 || !ready()) {
        times.Error = "the window or the session never saw the card in " + kReader;
        messagebox::SetHandler({});
        return times;
    }
    ui->ReaderListBox->setCurrentIndex(index);
    window.ReaderListBoxSelect();

    for (int round = 0; round < warmUps + rounds && times.Error.empty(); ++round) {
        boxText.clear();
        auto start = Clock::now();
        ui->BitBtn1->click();
        const double windowMs = MsSince(start);
        times.Error = Check("the window", boxText.toStdString(), {});
        windowtest::ProcessFor(std::chrono::milliseconds(20));
        if (!times.Error.empty() || !ready()) {
            break;
        }

        session.Message.clear();
        start = Clock::now();
        session.BitBtn1Click();
        const double sessionMs = MsSince(start);
        times.Error = Check("the session", session.Message, session.Error);
        windowtest::ProcessFor(std::chrono::milliseconds(20));
        if (!times.Error.empty() || !ready()) {
            break;
        }
        if (round >= warmUps) {
            times.WindowMs.push_back(windowMs);
            times.SessionMs.push_back(sessionMs);
        }
    }
    if (times.Error.empty() && static_cast<int>(times.WindowMs.size()) != rounds) {
        times.Error = "the card was not seen again after a download";
    }
    messagebox::SetHandler({});
    return times;
}
