// Faults during a download in the window, through the real pcsc-lite, pcscd and
// vpcd: the card pulled after a spread of the download's commands, pcscd killed
// during a download and started again, the card download file's folder
// read-only or full, and a folder where the file should be. After each the
// window is whole, the card is released, the failure shows, the download is
// never passed off as good, and the next download gives the complete file.
#include "PartialDownload.h"
#include "Pcscd.h"
#include "WindowTestUtil.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"
#include "main/MainForm.h"
#include "main/WindowMessageBox.h"
#include "ui_MainForm.h"
#include "vpcd/VpcdCard.h"

#include "FileCompare.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace downloadtest;
using windowtest::ProcessFor;
using windowtest::ProcessUntil;
namespace fs = std::filesystem;

namespace {

const QString kReader0 = QStringLiteral("Virtual PCD 00 00");
const QString kReadCaption = QStringLiteral("Preuzmi podatke s kartice");
const QString kInsertCaption = QStringLiteral("Umetnite tahografsku karticu");

// The log tells of an exchange that failed, or of a chunk read without "9000":
// vpcd reports the exchange during which the card went as done, with no answer.
bool ShowsFailedExchange(const QStringList& log) {
    for (const QString& line : log) {
        if (line.startsWith("SCardTransmit failed with error code ") ||
            (line.contains(" - status = ") && !line.contains(" - status = 9000  "))) {
            return true;
        }
    }
    return false;
}

// A second card, unlike the first in every file.
cardsim::TCardImage OtherCard() {
    cardsim::TCardOptions options;
    options.CardNumber = "D900000077777700";
    options.Seed = 99;
    return cardsim::BuildDriverCard(options);
}

// A simulated driver card in vpcd's first reader. `Hook` runs on the card's own
// thread before each command is answered, with the number answered so far.
class TCard {
public:
    explicit TCard(const cardsim::TCardImage& image)
        : Card(image), Virtual(vpcd::AtrT1(), [this](const std::vector<std::uint8_t>& apdu) {
              if (Hook && !Hook(Card.Commands())) {
                  return std::vector<std::uint8_t>{}; // pulled
              }
              return Card.Process(apdu);
          }) {
        Virtual.OnReset = [this] { Card.Reset(); };
    }
    bool Insert() {
        std::string error;
        const bool inserted = Virtual.Insert("127.0.0.1", vpcd::kDefaultPort, &error);
        EXPECT_TRUE(inserted) << error;
        return inserted;
    }

    cardsim::TDriverCard Card;
    // False: the card is gone before it answers.
    std::function<bool(int answered)> Hook;
    vpcd::TVpcdCard Virtual;
};

// A file system mounted for one test; the test runs in a mount namespace of its own.
class TMount {
public:
    TMount(const fs::path& where, const char* source, const char* type, unsigned long flags,
           const char* options)
        : Where(where) {
        fs::create_directories(where);
        Mounted = ::mount(source, where.c_str(), type, flags, options) == 0;
        EXPECT_TRUE(Mounted) << "mount " << where << ": " << std::strerror(errno);
    }
    ~TMount() {
        if (Mounted) {
            ::umount2(Where.c_str(), MNT_DETACH);
        }
    }
    TMount(const TMount&) = delete;
    TMount& operator=(const TMount&) = delete;

    fs::path Where;
    bool Mounted = false;
};

// Lets a thread that waits for `go` run to its end, also when a test stops early.
class TJoinOnExit {
public:
    TJoinOnExit(std::thread& thread, std::promise<void>& go) : Thread(thread), Go(go) {}
    ~TJoinOnExit() {
        if (Thread.joinable()) {
            try {
                Go.set_value();
            } catch (const std::future_error&) {
            }
            Thread.join();
        }
    }
    TJoinOnExit(const TJoinOnExit&) = delete;
    TJoinOnExit& operator=(const TJoinOnExit&) = delete;

private:
    std::thread& Thread;
    std::promise<void>& Go;
};

class PcscdFault : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(Pcscd.Start(&error)) << error;
        Dir = fs::temp_directory_path() / ("dravik-fault-" + std::to_string(getpid()));
        fs::create_directories(Dir);
        messagebox::SetHandler([this](const QString&, const QString& text) { Messages << text; });
        Window = std::make_unique<TMainForm>();
        Window->FOutputPath = (Dir / "tmp.ddd").string();
        // The same card is downloaded again and again and compared with its
        // image: it must not learn its last download date in between.
        Window->FUpdateCardDownload = false;
        ASSERT_TRUE(ProcessUntil([this] { return Reader() && Reader()->CardState == csNoCard; }))
            << Log(0).toStdString();
    }
    void TearDown() override {
        Window.reset();
        messagebox::SetHandler({});
        fs::remove_all(Dir);
    }

    TReaderObject* Reader() const {
        Ui::MainForm* ui = Window->Form();
        const int index = ui->ReaderListBox->findText(kReader0);
        return index == ui->ReaderListBox->currentIndex() ? Window->ReaderObjectAt(index) : nullptr;
    }
    QPushButton* Button() const { return Window->Form()->BitBtn1; }
    int LogCount() const { return Window->Form()->LogBox->model()->rowCount(); }
    QStringList LogFrom(int from) const {
        const QAbstractItemModel* model = Window->Form()->LogBox->model();
        QStringList lines;
        for (int row = from; row < model->rowCount(); ++row) {
            lines << model->data(model->index(row, 0)).toString();
        }
        return lines;
    }
    QString Log(int from) const { return LogFrom(from).join('\n'); }

    // Waits until the window offers the card's download. pcscd reports a card
    // present while it still powers it up, and a connection at that moment
    // fails; a person takes longer than this between the card and the button.
    bool WaitForCard() {
        const bool shown = ProcessUntil([this] {
            return Reader() && Reader()->CardState == csAvailable && Button()->isEnabled();
        });
        ProcessFor(500ms);
        return shown;
    }

    QStringList Press() {
        Messages.clear();
        const int before = LogCount();
        Button()->click();
        return LogFrom(before);
    }

    // What every way out of a download leaves before a watcher report is handled.
    void ExpectRestored(const TReaderObject* reader) const {
        EXPECT_EQ(Window->LogHolds(), 0);
        EXPECT_TRUE(Window->Form()->LogBox->updatesEnabled());
        EXPECT_TRUE(Button()->isEnabled());
        EXPECT_EQ(Button()->text(), kReadCaption);
        EXPECT_EQ(reader->CardHandle, pcsc::kNoCardHandle);
    }

    // The card in the first reader downloads whole and is reported as good.
    void ExpectDownloadWhole(const cardsim::TCardImage& image, const fs::path& output) {
        Window->FOutputPath = output.string();
        TReaderObject* reader = Reader();
        ASSERT_NE(reader, nullptr);
        const QStringList log = Press();
        EXPECT_TRUE(SameBytes(ReadFile(output), Join(CompleteDownload(image))));
        EXPECT_TRUE(log.filter("failed with error code").isEmpty()) << log.join('\n').toStdString();
        ASSERT_EQ(Messages.size(), 1);
        EXPECT_TRUE(ReportsGoodDownload(Messages[0].toStdString())) << Messages[0].toStdString();
        ExpectRestored(reader);
    }

    // Another card in the first reader downloads whole.
    void ExpectNextDownloadWhole(const fs::path& output) {
        const cardsim::TCardImage image = OtherCard();
        TCard card(image);
        ASSERT_TRUE(card.Insert());
        ASSERT_TRUE(WaitForCard()) << Log(0).toStdString();
        ExpectDownloadWhole(image, output);
        TReaderObject* reader = Reader();
        card.Virtual.Remove();
        ASSERT_TRUE(ProcessUntil([&] { return reader->CardState == csNoCard; }));
        EXPECT_FALSE(Button()->isEnabled());
    }

    // pcscd goes and comes back: the window drops the readers, then finds them
    // again within a second of the service's return, on a new context of its own.
    void ExpectServiceReturnFollowed() {
        ASSERT_TRUE(ProcessUntil([this] { return Window->Form()->ReaderListBox->count() == 0; }))
            << Log(0).toStdString();
        const SCARDCONTEXT before = Window->FContext;
        const int from = LogCount();
        std::string error;
        ASSERT_TRUE(Pcscd.Start(&error)) << error;
        const auto back = std::chrono::steady_clock::now();
        ASSERT_TRUE(ProcessUntil([this] { return Reader() != nullptr; }))
            << Log(from).toStdString();
        const auto took = std::chrono::steady_clock::now() - back;
        EXPECT_LT(took, 1s);
        std::printf("readers back %lld ms after pcscd's return\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        const QStringList log = LogFrom(from);
        const int renewed = log.indexOf("SCardEstablishContext succeeded.");
        EXPECT_GE(renewed, 0) << log.join('\n').toStdString();
        EXPECT_LT(renewed, log.indexOf("New reader found: " + kReader0));
        EXPECT_NE(Window->FContext, before);
    }

    TPcscd Pcscd;
    fs::path Dir;
    std::unique_ptr<TMainForm> Window;
    QStringList Messages;
};

} // namespace

TEST_F(PcscdFault, ACardPulledAfterASpreadOfCommandsIsNeverPassedOffAsGood) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    // The window here sends no update of the card's last download date.
    const int sent = PartialDownload(image).FileSent;
    std::vector<int> spread = {1, 2};
    for (int n = 0; n < sent; n += 7) {
        spread.push_back(n);
    }
    spread.push_back(sent - 1);
    spread.push_back(sent);
    for (const int n : spread) {
        SCOPED_TRACE("card pulled after " + std::to_string(n) + " commands");
        {
            TCard card(image);
            card.Card.RemoveAfter(n);
            ASSERT_TRUE(card.Insert());
            ASSERT_TRUE(WaitForCard()) << Log(0).toStdString();
            TReaderObject* reader = Reader();
            const QStringList log = Press();
            EXPECT_EQ(card.Card.Commands(), n);
            const TPartialDownload expected = PartialDownload(image, n);
            EXPECT_TRUE(SameBytes(ReadFile(Window->FOutputPath), expected.File))
                << log.join('\n').toStdString();
            ASSERT_EQ(Messages.size(), 1);
            const std::string message = Messages[0].toStdString();
            ExpectRestored(reader);
            if (n == sent) {
                EXPECT_TRUE(ReportsGoodDownload(message)) << message;
                card.Virtual.Remove();
            } else {
                EXPECT_FALSE(ReportsGoodDownload(message)) << message;
                EXPECT_TRUE(ShowsFailedExchange(log) || expected.EndsAtSelect)
                    << log.join('\n').toStdString();
            }
            ASSERT_TRUE(ProcessUntil([&] { return reader->CardState == csNoCard; }));
            EXPECT_FALSE(Button()->isEnabled());
            EXPECT_EQ(Button()->text(), kInsertCaption);
        }
        if (n != sent) {
            // vpcd takes no further card in a reader whose card went in the
            // middle of a command until pcscd starts again; a real reader has
            // no such limit.
            Pcscd.Stop();
            ExpectServiceReturnFollowed();
        }
        ExpectNextDownloadWhole(Dir / "next.ddd");
        if (HasFailure()) {
            break;
        }
    }
}

TEST_F(PcscdFault, PcscdKilledDuringADownloadAndStartedAgain) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    // Before and after EF Identification was read.
    for (const int answered : {9, 40}) {
        SCOPED_TRACE("pcscd killed after " + std::to_string(answered) + " commands");
        const SCARDCONTEXT before = Window->FContext;
        std::promise<void> reached;
        std::promise<void> killed;
        std::shared_future<void> killedFuture = killed.get_future().share();
        std::thread killer([&] {
            reached.get_future().wait();
            Pcscd.Kill();
            killed.set_value();
        });
        const TJoinOnExit joinKiller(killer, reached);
        {
            TCard card(image);
            // The next command waits until pcscd is gone and is never answered.
            card.Hook = [&, answered](int count) {
                if (count < answered) {
                    return true;
                }
                reached.set_value();
                killedFuture.wait();
                return false;
            };
            ASSERT_TRUE(card.Insert());
            ASSERT_TRUE(WaitForCard()) << Log(0).toStdString();
            TReaderObject* reader = Reader();
            const QStringList log = Press();
            killer.join();
            EXPECT_TRUE(
                SameBytes(ReadFile(Window->FOutputPath), PartialDownload(image, answered).File));
            ASSERT_EQ(Messages.size(), 1);
            EXPECT_FALSE(ReportsGoodDownload(Messages[0].toStdString()))
                << Messages[0].toStdString();
            EXPECT_FALSE(log.filter("SCardTransmit failed with error code ").isEmpty())
                << log.join('\n').toStdString();
            ExpectRestored(reader);
        }
        ExpectServiceReturnFollowed();
        EXPECT_NE(Window->FContext, before);
        ExpectNextDownloadWhole(Dir / "next.ddd");
        if (HasFailure()) {
            break;
        }
    }
}

TEST_F(PcscdFault, PcscdRestartedAtOnceDuringADownload) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    constexpr int kAnswered = 70;
    std::promise<void> reached;
    std::promise<void> restarted;
    std::shared_future<void> restartedFuture = restarted.get_future().share();
    std::thread restarter([&] {
        reached.get_future().wait();
        Pcscd.Kill();
        std::string error;
        EXPECT_TRUE(Pcscd.Start(&error)) << error;
        restarted.set_value();
    });
    const TJoinOnExit joinRestarter(restarter, reached);
    {
        TCard card(image);
        card.Hook = [&](int count) {
            if (count < kAnswered) {
                return true;
            }
            reached.set_value();
            restartedFuture.wait();
            return false;
        };
        ASSERT_TRUE(card.Insert());
        ASSERT_TRUE(WaitForCard()) << Log(0).toStdString();
        TReaderObject* reader = Reader();
        const int from = LogCount();
        Press();
        restarter.join();
        EXPECT_TRUE(
            SameBytes(ReadFile(Window->FOutputPath), PartialDownload(image, kAnswered).File));
        ASSERT_EQ(Messages.size(), 1);
        EXPECT_FALSE(ReportsGoodDownload(Messages[0].toStdString())) << Messages[0].toStdString();
        ExpectRestored(reader);
        // The service is back already: the window takes a new context of its own.
        EXPECT_TRUE(ProcessUntil([&] {
            return LogFrom(from).contains("SCardEstablishContext succeeded.");
        })) << Log(from).toStdString();
    }
    ExpectNextDownloadWhole(Dir / "next.ddd");
}

TEST_F(PcscdFault, TheFilesFolderReadOnlyFullOrTakenByAFolder) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    const std::string complete = Join(CompleteDownload(image));
    TCard card(image);
    ASSERT_TRUE(card.Insert());
    ASSERT_TRUE(WaitForCard()) << Log(0).toStdString();

    // The previous download in a folder that has since become read-only.
    const fs::path kept = Dir / "kept";
    fs::create_directories(kept);
    std::ofstream(kept / "tmp.ddd", std::ios::binary) << "the previous download";
    TMount bind(kept, kept.c_str(), nullptr, MS_BIND, nullptr);
    ASSERT_EQ(::mount(nullptr, kept.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    TMount readOnly(Dir / "ro", "tmpfs", "tmpfs", MS_RDONLY, "size=64k");
    TMount full(Dir / "full", "tmpfs", "tmpfs", 0, "size=16k");
    ASSERT_LT(16u * 1024, complete.size());
    fs::create_directories(Dir / "taken" / "tmp.ddd");

    struct TCase {
        const char* What;
        fs::path Output;
        QString Error;
    };
    const TCase cases[] = {
        {"read-only bind mount", kept / "tmp.ddd", "File access denied"},
        {"read-only tmpfs", Dir / "ro" / "tmp.ddd", "File access denied"},
        {"disk full", Dir / "full" / "tmp.ddd", "I/O error 28"},
        {"a folder named tmp.ddd", Dir / "taken" / "tmp.ddd", "I/O error 21"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        Window->FOutputPath = c.Output.string();
        TReaderObject* reader = Reader();
        ASSERT_NE(reader, nullptr);
        const QStringList log = Press();
        ASSERT_EQ(Messages.size(), 1);
        // The error, then the file and the system's words for it.
        EXPECT_TRUE(Messages[0].startsWith(c.Error + "\r\r")) << Messages[0].toStdString();
        EXPECT_TRUE(Messages[0].contains(QString::fromStdString(c.Output.string())))
            << Messages[0].toStdString();
        ExpectRestored(reader);
        ASSERT_GE(log.size(), 2);
        EXPECT_EQ(log[log.size() - 2], "SCardDisconnect succeeded.")
            << log.join('\n').toStdString();
        EXPECT_EQ(log.back().toStdString(),
                  "Result: not saved, " + c.Error.toStdString() + " (" + c.Output.string() + ")");
        ExpectDownloadWhole(image, Dir / "next.ddd");
    }
    // What was there or was written before the failure stays.
    EXPECT_EQ(ReadFile(kept / "tmp.ddd"), "the previous download");
    EXPECT_FALSE(fs::exists(Dir / "ro" / "tmp.ddd"));
    // What was written before the disk filled is kept under a name of its own.
    EXPECT_FALSE(fs::exists(Dir / "full" / "tmp.ddd"));
    const std::string partial = ReadFile(Dir / "full" / "tmp_nepotpuno.ddd");
    EXPECT_FALSE(partial.empty());
    EXPECT_LE(partial.size(), 16u * 1024);
    EXPECT_EQ(complete.compare(0, partial.size(), partial), 0) << "not the download's beginning";
    EXPECT_TRUE(fs::is_directory(Dir / "taken" / "tmp.ddd"));
}
