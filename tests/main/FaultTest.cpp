// Faults during a download in the window, with the in-memory PC/SC library and
// the simulated driver card: the card pulled after each of the download's
// commands in turn, the reader pulled during a download, a chunk answered
// short. After each the window is whole again, the card is released, the
// failure shows, the download is never passed off as good, and the next
// download gives the complete file.
#include "DownloadTestSupport.h"
#include "FakePcsc.h"
#include "PartialDownload.h"
#include "WindowTestUtil.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"
#include "main/MainForm.h"
#include "main/WindowMessageBox.h"
#include "ui_MainForm.h"

#include "FileCompare.h"
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

using namespace downloadtest;
using windowtest::ProcessUntil;

namespace {

const std::string kReader = "Fault Reader 00";
const std::vector<std::uint8_t> kAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};
const QString kReadCaption = QStringLiteral("Preuzmi podatke s kartice");
const QString kInsertCaption = QStringLiteral("Umetnite tahografsku karticu");
const QString kNoReaderCaption = QStringLiteral("Nema spojenih čitača?");
const std::string kOtherReader = "Fault Reader 01";

// A card as slow as a real one, in proportion: each answer a few milliseconds late.
fakepcsc::TApduHandler SlowCard(std::shared_ptr<cardsim::TDriverCard> card,
                                std::shared_ptr<std::atomic<int>> answered,
                                std::function<void(int)> afterAnswer = {}) {
    return [card, answered, afterAnswer](const Bytes& apdu) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        Bytes answer = card->Process(apdu);
        const int count = ++*answered;
        if (afterAnswer) {
            afterAnswer(count);
        }
        return answer;
    };
}

// A second card, unlike the first in every file, so that a file it gives cannot
// hold anything left from the download before.
cardsim::TCardImage OtherCard() {
    cardsim::TCardOptions options;
    options.CardNumber = "D900000077777700";
    options.Seed = 99;
    return cardsim::BuildDriverCard(options);
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakepcsc::Reset();
        fakepcsc::AddReader(kReader);
        messagebox::SetHandler([this](const QString&, const QString& text) { Messages << text; });
        Window = std::make_unique<TMainForm>(FAKEPCSC_PATH);
        Window->FOutputPath = (Scratch.Path / "tmp.ddd").string();
        ASSERT_TRUE(ProcessUntil([this] { return Reader() && Reader()->CardState == csNoCard; }));
    }
    void TearDown() override {
        Window.reset();
        messagebox::SetHandler({});
        EXPECT_EQ(fakepcsc::OpenContexts(), 0);
    }

    TReaderObject* Reader() const { return Window->ReaderObjectAt(0); }
    QPushButton* Button() const { return Window->Form()->BitBtn1; }
    std::string OutputFile() const { return ReadWholeFile(Window->FOutputPath); }

    // Inserts a card into the empty reader and waits until the window offers
    // its download, as a person would.
    bool InsertAndWait(fakepcsc::TApduHandler handler) {
        fakepcsc::InsertCard(kReader, kAtr, fakepcsc::TProtocol::T1, std::move(handler));
        return ProcessUntil([this] {
            return Reader() && Reader()->CardState == csAvailable && Button()->isEnabled();
        });
    }

    // The log's lines from `from` on; LogLines() would copy the whole log, which
    // grows by hundreds of lines with every download here.
    QStringList LogFrom(int from) const {
        const QAbstractItemModel* model = Window->Form()->LogBox->model();
        QStringList lines;
        for (int row = from; row < model->rowCount(); ++row) {
            lines << model->data(model->index(row, 0)).toString();
        }
        return lines;
    }
    int LogCount() const { return Window->Form()->LogBox->model()->rowCount(); }

    // Presses the read button; gives the log lines of the download.
    QStringList Press() {
        Messages.clear();
        const int before = LogCount();
        Button()->click();
        return LogFrom(before);
    }

    // What the press leaves before any watcher report is handled: the reader
    // object still shows the card it had, so the button offers it again.
    void ExpectRestored(const TReaderObject* reader) const {
        EXPECT_EQ(Window->LogHolds(), 0);
        EXPECT_TRUE(Window->Form()->LogBox->updatesEnabled());
        EXPECT_TRUE(Button()->isEnabled());
        EXPECT_EQ(Button()->text(), kReadCaption);
        EXPECT_EQ(reader->CardHandle, pcsc::kNoCardHandle);
        EXPECT_EQ(fakepcsc::OpenCards(), 0);
    }

    // A press after a card was pulled: no stale card offered once its removal is seen.
    void ExpectCardGoneShown(const TReaderObject* reader) const {
        ASSERT_TRUE(ProcessUntil([&] { return reader->CardState == csNoCard; }));
        EXPECT_FALSE(Button()->isEnabled());
        EXPECT_EQ(Button()->text(), kInsertCaption);
    }

    // Another card in the same reader downloads whole and is reported as good.
    void ExpectNextDownloadWhole() {
        const cardsim::TCardImage image = OtherCard();
        auto card = std::make_shared<cardsim::TDriverCard>(image);
        ASSERT_TRUE(InsertAndWait([card](const Bytes& apdu) { return card->Process(apdu); }))
            << LogFrom(0).join('\n').toStdString();
        TReaderObject* reader = Reader();
        const QStringList log = Press();
        EXPECT_TRUE(SameBytes(OutputFile(), Join(CompleteDownload(image))));
        EXPECT_TRUE(log.filter("failed with error code").isEmpty()) << log.join('\n').toStdString();
        ASSERT_EQ(Messages.size(), 1);
        EXPECT_TRUE(ReportsGoodDownload(Messages[0].toStdString())) << Messages[0].toStdString();
        ExpectRestored(reader);
        fakepcsc::RemoveCard(kReader);
        ExpectCardGoneShown(reader);
    }

    TScratchDir Scratch;
    std::unique_ptr<TMainForm> Window;
    QStringList Messages;
};

} // namespace

TEST_F(FaultTest, ACardPulledAfterEachCommandInTurnIsNeverPassedOffAsGood) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    const TPartialDownload whole = PartialDownload(image);
    ASSERT_EQ(whole.File, Join(CompleteDownload(image)));
    for (int n = 0; n <= whole.Sent; ++n) {
        SCOPED_TRACE("card pulled after " + std::to_string(n) + " commands");
        auto card = std::make_shared<cardsim::TDriverCard>(image);
        card->RemoveAfter(n);
        // The card goes while its next command is on the way; later exchanges
        // meet an empty reader.
        ASSERT_TRUE(InsertAndWait([card](const Bytes& apdu) {
            Bytes answer = card->Process(apdu);
            if (answer.empty()) {
                fakepcsc::RemoveCard(kReader);
                throw std::runtime_error("card pulled");
            }
            return answer;
        }));
        TReaderObject* reader = Reader();
        const QStringList log = Press();
        const TPartialDownload expected = PartialDownload(image, n);
        EXPECT_EQ(card->Commands(), n);
        EXPECT_TRUE(SameBytes(OutputFile(), expected.File));
        ASSERT_EQ(Messages.size(), 1);
        const std::string message = Messages[0].toStdString();
        ExpectRestored(reader);
        if (n >= whole.FileSent) {
            // Pulled after the file steps' last answer: a whole download, and
            // said so, whether or not the card took its last download date.
            EXPECT_TRUE(ReportsGoodDownload(message)) << message;
            if (n == whole.Sent) {
                fakepcsc::RemoveCard(kReader);
            }
        } else {
            EXPECT_FALSE(ReportsGoodDownload(message)) << message;
            EXPECT_EQ(message.rfind("Kartica: ", 0) == 0, expected.Identified) << message;
            EXPECT_FALSE(log.filter("SCardTransmit failed with error code ").isEmpty())
                << log.join('\n').toStdString();
        }
        ExpectCardGoneShown(reader);
        ExpectNextDownloadWhole();
        if (HasFailure()) {
            break; // one broken step would repeat itself for every later n
        }
    }
}

TEST_F(FaultTest, AReaderPulledDuringADownloadLeavesTheWindowWhole) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    const int sent = PartialDownload(image).Sent;
    const int fileSent = PartialDownload(image).FileSent;
    for (int n = 0; n <= sent; ++n) {
        SCOPED_TRACE("reader pulled after " + std::to_string(n) + " commands");
        auto card = std::make_shared<cardsim::TDriverCard>(image);
        auto answered = std::make_shared<int>(0);
        ASSERT_TRUE(InsertAndWait([card, answered, n](const Bytes& apdu) {
            if (*answered == n) {
                fakepcsc::RemoveReader(kReader);
                throw std::runtime_error("reader pulled");
            }
            ++*answered;
            return card->Process(apdu);
        }));
        TReaderObject* reader = Reader();
        const QStringList log = Press();
        EXPECT_TRUE(SameBytes(OutputFile(), PartialDownload(image, n).File));
        ASSERT_EQ(Messages.size(), 1);
        const std::string message = Messages[0].toStdString();
        ExpectRestored(reader);
        if (n >= fileSent) {
            EXPECT_TRUE(ReportsGoodDownload(message)) << message;
            if (n == sent) {
                fakepcsc::RemoveReader(kReader);
            }
        } else {
            EXPECT_FALSE(ReportsGoodDownload(message)) << message;
            EXPECT_FALSE(log.filter("SCardTransmit failed with error code ").isEmpty())
                << log.join('\n').toStdString();
        }
        // The window drops the reader, then takes it back when it returns.
        const int from = LogCount();
        ASSERT_TRUE(ProcessUntil([this] { return Window->Form()->ReaderListBox->count() == 0; }));
        EXPECT_TRUE(LogFrom(from).contains(QString::fromStdString("Reader removed: " + kReader)));
        EXPECT_FALSE(Button()->isEnabled());
        EXPECT_EQ(Button()->text(), kNoReaderCaption);
        fakepcsc::AddReader(kReader);
        ASSERT_TRUE(ProcessUntil([this] { return Reader() && Reader()->CardState == csNoCard; }));
        ExpectNextDownloadWhole();
        if (HasFailure()) {
            break;
        }
    }
}

TEST_F(FaultTest, AChunkAnsweredShortWithSuccessIsNotPassedOffAsGood) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    auto card = std::make_shared<cardsim::TDriverCard>(image);
    auto selected = std::make_shared<Bytes>();
    // EF Specific_Conditions' first chunk comes back 50 bytes short, with 9000:
    // its record then holds fewer bytes than its header announces, and the
    // records after it no longer start where a reader of the file looks.
    ASSERT_TRUE(InsertAndWait([card, selected](const Bytes& apdu) {
        Bytes answer = card->Process(apdu);
        if (apdu.size() > 1 && apdu[1] == 0xA4) {
            *selected = apdu;
        } else if (*selected == SelectOf(0x0522) && apdu == Bytes({0x00, 0xB0, 0x00, 0x00, 0xFA})) {
            answer.erase(answer.begin() + 200, answer.end() - 2);
        }
        return answer;
    }));
    TReaderObject* reader = Reader();
    Press();
    EXPECT_NE(OutputFile(), Join(CompleteDownload(image)));
    ASSERT_EQ(Messages.size(), 1);
    ExpectRestored(reader);
    EXPECT_FALSE(ReportsGoodDownload(Messages[0].toStdString())) << Messages[0].toStdString();
    fakepcsc::RemoveCard(kReader);
    ExpectCardGoneShown(reader);
    ExpectNextDownloadWhole();
}

TEST_F(FaultTest, ASlowDownloadKeepsTheWindowAnsweringWithTheReportsHeldUntilItEnds) {
    // A second reader, which goes during the download: its report would free
    // a reader object and log between the download's lines.
    fakepcsc::AddReader(kOtherReader);
    ASSERT_TRUE(ProcessUntil([this] { return Window->ReaderObjectAt(1) != nullptr; }));
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    auto card = std::make_shared<cardsim::TDriverCard>(image);
    auto answered = std::make_shared<std::atomic<int>>(0);
    ASSERT_TRUE(InsertAndWait(SlowCard(card, answered, [](int count) {
        if (count == 20) {
            fakepcsc::RemoveReader(kOtherReader);
        }
    })));
    Window->show();
    TReaderObject* reader = Reader();
    TReaderObject* other = Window->ReaderObjectAt(1);

    // What the window shows and does while the steps run, seen from its own
    // event loop.
    int seen = 0;
    int highestProgress = 0;
    bool alwaysHeld = true;
    bool secondDownload = false;
    QTimer during;
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (!Window->Downloading()) {
            return;
        }
        ++seen;
        alwaysHeld = alwaysHeld && Window->ReaderObjectAt(1) == other &&
                     Window->Form()->ReaderListBox->count() == 2;
        highestProgress = std::max(highestProgress, Window->Form()->ProgressBar1->value());
        if (seen == 5) {
            // A language chosen and a reader selected during the download:
            // the button stays the disabled "reading" one.
            Window->Action5Execute();
            Window->ReaderListBoxSelect();
            secondDownload = Button()->isEnabled() || Button()->text() != "Reading...";
            Button()->click();
            Window->Action4Execute();
        }
    });
    during.start(20);
    windowtest::TEventGapMeter gaps;
    const QStringList log = Press();
    during.stop();

    EXPECT_TRUE(SameBytes(OutputFile(), Join(CompleteDownload(image))));
    EXPECT_GE(seen, 20) << "the event loop ran " << seen << " times during the download";
    // Frozen, the window would show one gap as long as the download; the
    // bound that matters is measured by bench_alive.
    EXPECT_LT(gaps.LongestMs(), 500.0);
    EXPECT_TRUE(alwaysHeld) << "a report ran during the download";
    EXPECT_FALSE(secondDownload);
    EXPECT_GT(highestProgress, 0);
    EXPECT_FALSE(Window->Form()->ProgressBar1->isVisible());
    EXPECT_EQ(Window->Form()->ProgressBar1->value(), Window->Form()->ProgressBar1->maximum());
    // The download's lines are all there, in order, with nothing between them.
    ASSERT_GE(log.size(), 3);
    EXPECT_EQ(log[0], "SCardConnect succeeded.");
    EXPECT_TRUE(log.filter("Reader").isEmpty()) << log.join('\n').toStdString();
    const std::vector<std::string> steps = CompleteDownloadLog(image);
    const int first = log.indexOf(QString::fromStdString(steps.front()));
    ASSERT_GE(first, 0);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        ASSERT_EQ(log.value(first + static_cast<int>(i)).toStdString(), steps[i]) << i;
    }
    EXPECT_EQ(log[first + static_cast<int>(steps.size())], "SCardDisconnect succeeded.");
    ASSERT_EQ(Messages.size(), 1);
    EXPECT_TRUE(ReportsGoodDownload(Messages[0].toStdString())) << Messages[0].toStdString();
    ExpectRestored(reader);

    // The held report runs from the event loop afterwards.
    const int from = LogCount();
    ASSERT_TRUE(ProcessUntil([this] { return Window->Form()->ReaderListBox->count() == 1; }));
    EXPECT_TRUE(LogFrom(from).contains(QString::fromStdString("Reader removed: " + kOtherReader)));
    EXPECT_EQ(Window->ReaderObjectAt(0), reader);
}

TEST_F(FaultTest, ClosingTheWindowDuringADownloadEndsItSafelyAndThenCloses) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    auto card = std::make_shared<cardsim::TDriverCard>(image);
    auto answered = std::make_shared<std::atomic<int>>(0);
    ASSERT_TRUE(InsertAndWait(SlowCard(card, answered)));
    Window->show();
    const int contexts = fakepcsc::OpenContexts();
    int atClose = -1;
    QTimer::singleShot(150, Window.get(), [&] {
        atClose = answered->load();
        Window->close();
        // Asked again while the first close is still on its way.
        Window->close();
    });
    const QStringList log = Press();

    ASSERT_GT(atClose, 0);
    // The command under way when the window closed was the last one.
    EXPECT_LE(answered->load(), atClose + 1);
    EXPECT_FALSE(Window->isVisible());
    EXPECT_FALSE(Window->Downloading());
    EXPECT_TRUE(Messages.isEmpty());
    EXPECT_EQ(fakepcsc::OpenCards(), 0);
    EXPECT_EQ(fakepcsc::OpenContexts(), contexts) << "the download's own context is released";
    EXPECT_EQ(Reader()->CardHandle, pcsc::kNoCardHandle);
    ASSERT_GE(log.size(), 2);
    EXPECT_EQ(log[log.size() - 2], "SCardDisconnect succeeded.");
    // The log says what became of it.
    EXPECT_EQ(log.back(), "Result: not saved, the download was stopped before every file was read");
    EXPECT_EQ(Window->LogHolds(), 0);
    // What was read of it is gone with it; the shared file was never touched.
    EXPECT_FALSE(std::filesystem::exists(Window->FOutputPath));
    EXPECT_EQ(WorkingFileBeside(Window->FOutputPath), "");
}
