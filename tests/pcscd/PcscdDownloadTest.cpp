// Downloads through the real pcsc-lite, pcscd and vpcd: the window (offscreen)
// and dravik-download, against the simulated driver card.
#include "ExpectedDownload.h"
#include "Pcscd.h"
#include "WindowTestUtil.h"
#include "cardsim/DownloadFile.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"
#include "main/MainForm.h"
#include "main/WindowMessageBox.h"
#include "ui_MainForm.h"
#include "vpcd/VpcdCard.h"

#include "FileCompare.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using windowtest::ProcessFor;
using windowtest::ProcessUntil;
namespace fs = std::filesystem;

namespace {

const std::string kReader0 = "Virtual PCD 00 00";
const std::string kReader1 = "Virtual PCD 00 01";

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A simulated driver card in one of vpcd's readers.
struct TInsertedCard {
    TInsertedCard(cardsim::TCardImage image, bool t0, int port = vpcd::kDefaultPort)
        : Image(image), Card(std::move(image)),
          Virtual(t0 ? vpcd::AtrT0() : vpcd::AtrT1(),
                  [this](const std::vector<std::uint8_t>& apdu) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs.load()));
                      return Card.Process(apdu);
                  }) {
        Virtual.OnReset = [this] { Card.Reset(); };
        std::string error;
        Inserted = Virtual.Insert("127.0.0.1", port, &error);
        EXPECT_TRUE(Inserted) << error;
        // pcscd reports the card present while it is still powering it up; a
        // connection at that moment fails (SCARD_W_UNPOWERED_CARD). A person
        // takes longer than this between inserting a card and pressing the button.
        std::this_thread::sleep_for(500ms);
    }
    cardsim::TCardImage Image;
    cardsim::TDriverCard Card;
    vpcd::TVpcdCard Virtual;
    bool Inserted = false;
    // How late the card answers each command, as real cards are.
    std::atomic<int> DelayMs{0};
};

// Runs a program and gives back its exit code and standard output.
struct TRun {
    int ExitCode = -1;
    std::string Output;
};

TRun RunProgram(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv;
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    TRun run;
    std::array<char, 4096> buffer;
    ssize_t got;
    while ((got = read(pipeFds[0], buffer.data(), buffer.size())) > 0) {
        run.Output.append(buffer.data(), static_cast<std::size_t>(got));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class PcscdDownload : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(Pcscd.Start(&error)) << error;
        Dir = fs::temp_directory_path() / ("dravik-e2e-" + std::to_string(getpid()));
        fs::create_directories(Dir);
        messagebox::SetHandler([this](const QString&, const QString& text) { Messages << text; });
    }
    void TearDown() override {
        messagebox::SetHandler({});
        fs::remove_all(Dir);
    }

    // Opens the window, waits until reader `index` shows a card, presses the button.
    void DownloadInWindow(const fs::path& output, int index = 0) {
        TMainForm window;
        window.FOutputPath = output.string();
        window.FRootKeyPath = DRAVIK_TEST_ROOT_KEY_PATH;
        Ui::MainForm* ui = window.Form();
        ASSERT_TRUE(ProcessUntil([&] {
            return ui->ReaderListBox->count() > index && window.ReaderObjectAt(index) &&
                   window.ReaderObjectAt(index)->CardState == csAvailable;
        })) << window.LogLines().join('\n').toStdString();
        ui->ReaderListBox->setCurrentIndex(index);
        window.ReaderListBoxSelect();
        ASSERT_TRUE(ui->BitBtn1->isEnabled());
        Log.clear();
        const int before = window.LogLines().size();
        windowtest::TEventGapMeter gaps;
        const auto start = std::chrono::steady_clock::now();
        ui->BitBtn1->click();
        PressMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        LongestGapMs = gaps.LongestMs();
        Log = window.LogLines().mid(before);
        EXPECT_EQ(window.LogHolds(), 0);
        EXPECT_EQ(window.ReaderObjectAt(index)->CardHandle, pcsc::kNoCardHandle);
    }

    TPcscd Pcscd;
    fs::path Dir;
    QStringList Messages;
    QStringList Log;
    // The last press: how long it took, and the longest the window went
    // without handling events meanwhile.
    double PressMs = 0;
    double LongestGapMs = 0;
};

} // namespace

TEST_F(PcscdDownload, TheWindowDownloadsTheSampleCardByteForByteWithT0AndT1) {
    for (bool t0 : {false, true}) {
        TInsertedCard card(cardsim::BuildDriverCard(), t0);
        ASSERT_TRUE(card.Inserted);
        const fs::path output = Dir / "tmp.ddd";
        Messages.clear();
        DownloadInWindow(output);
        EXPECT_TRUE(SameBytes(ReadFile(output),
                              downloadtest::Join(downloadtest::CompleteDownload(card.Image))))
            << (t0 ? "T=0" : "T=1");
        ASSERT_GE(Log.size(), 3);
        EXPECT_EQ(Log[0], "SCardConnect succeeded.");
        EXPECT_EQ(Log[1], QString::fromStdString(
                              "ATR = " + std::string(t0 ? "3B 02 14 50 " : "3B 80 80 01 01 ")));
        EXPECT_EQ(Log[Log.size() - 3], "SCardDisconnect succeeded.");
        // Signed by the card through pcscd and vpcd, and checked with the test root.
        EXPECT_TRUE(Log[Log.size() - 2].startsWith("Signatures valid: certificate chain valid; "
                                                   "12 of 12 signatures valid"))
            << Log[Log.size() - 2].toStdString();
        EXPECT_TRUE(Log.contains("EF Card Download UpdateBinary OK"));
        EXPECT_TRUE(Log.back().startsWith("Result: saved as ") && Log.back().endsWith(", whole"))
            << Log.back().toStdString();
        ASSERT_EQ(Messages.size(), 1);
        EXPECT_TRUE(Messages[0].startsWith(
            QStringLiteral("Kartica: D100000012345600\rVozac: Ž_ŠIMUNOVIĆ\r\rObrada: ")));
    }
}

TEST_F(PcscdDownload, ACardAsSlowAsARealOneDownloadsWhileTheWindowKeepsAnswering) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    card.DelayMs = 60;
    DownloadInWindow(Dir / "tmp.ddd");
    std::printf("slowed card: %.0f ms download, longest event gap %.1f ms\n", PressMs,
                LongestGapMs);
    EXPECT_TRUE(SameBytes(ReadFile(Dir / "tmp.ddd"),
                          downloadtest::Join(downloadtest::CompleteDownload(card.Image))));
    ASSERT_EQ(Messages.size(), 1);
    EXPECT_TRUE(Messages[0].startsWith(QStringLiteral("Kartica: D100000012345600")));
    // Held on the main thread, the download was one gap as long as itself;
    // bench_alive measures the bound that matters.
    EXPECT_GT(PressMs, 5000.0);
    EXPECT_LT(LongestGapMs, 500.0);
}

TEST_F(PcscdDownload, TheCommandLineDownloadsTheSampleCardByteForByte) {
    for (bool t0 : {false, true}) {
        TInsertedCard card(cardsim::BuildDriverCard(), t0);
        ASSERT_TRUE(card.Inserted);
        const fs::path output = Dir / "cli.ddd";
        const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", output.string(), "--wait",
                                     "5", "--root", DRAVIK_TEST_ROOT_KEY_PATH});
        EXPECT_EQ(run.ExitCode, 0) << run.Output;
        EXPECT_NE(run.Output.find("Signatures valid: certificate chain valid; 12 of 12"),
                  std::string::npos)
            << run.Output;
        const TRun verify =
            RunProgram({DRAVIK_VERIFY_PATH, "--root", DRAVIK_TEST_ROOT_KEY_PATH, output.string()});
        EXPECT_EQ(verify.ExitCode, 0) << verify.Output;
        EXPECT_TRUE(SameBytes(ReadFile(output),
                              downloadtest::Join(downloadtest::CompleteDownload(card.Image))));
        EXPECT_NE(run.Output.find("SCardConnect succeeded.\nATR = "), std::string::npos);
        EXPECT_NE(run.Output.find("SCardDisconnect succeeded.\n"), std::string::npos);
        EXPECT_NE(run.Output.find("Kartica: D100000012345600\nVozac: Ž_ŠIMUNOVIĆ\n\nObrada: "),
                  std::string::npos)
            << run.Output;
        std::string fileLog;
        for (const std::string& line : downloadtest::CompleteDownloadLog(card.Image)) {
            fileLog += line + "\n";
        }
        EXPECT_NE(run.Output.find(fileLog), std::string::npos) << "the file steps' log differs";
    }
}

// Second-generation cards of both versions through the real stack: both parts
// downloaded and every signature checked against the two test roots.
TEST_F(PcscdDownload, SecondGenerationCardsOfBothVersionsDownloadAndVerify) {
    for (int version : {1, 2}) {
        SCOPED_TRACE("version " + std::to_string(version));
        cardsim::TCardOptions options;
        options.Gen2Version = version;
        TInsertedCard card(cardsim::BuildDriverCard(options), false);
        ASSERT_TRUE(card.Inserted);
        const fs::path output = Dir / "gen2.ddd";
        const TRun run =
            RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", output.string(), "--wait", "5", "--root",
                        DRAVIK_TEST_ROOT_KEY_PATH, "--root-g2", DRAVIK_TEST_ROOT_G2_PATH});
        EXPECT_EQ(run.ExitCode, 0) << run.Output;
        EXPECT_NE(run.Output.find("Signatures valid: certificate chain valid; 12 of 12 signatures "
                                  "valid; G2: certificate chain valid; " +
                                  std::string(version == 2 ? "19 of 19" : "13 of 13")),
                  std::string::npos)
            << run.Output;
        EXPECT_NE(run.Output.find("Kartica druge generacije (G1 i G2)"), std::string::npos)
            << run.Output;
        const TRun verify = RunProgram({DRAVIK_VERIFY_PATH, "--root", DRAVIK_TEST_ROOT_KEY_PATH,
                                        "--root-g2", DRAVIK_TEST_ROOT_G2_PATH, output.string()});
        EXPECT_EQ(verify.ExitCode, 0) << verify.Output;
    }
}

TEST_F(PcscdDownload, ACardPulledInTheMiddleEndsTheDownloadAndTheNextOneWorks) {
    const fs::path output = Dir / "tmp.ddd";
    {
        TInsertedCard card(cardsim::BuildDriverCard(), false);
        card.Card.RemoveAfter(40);
        DownloadInWindow(output);
        EXPECT_FALSE(Log.filter("SCardTransmit failed with error code ").isEmpty())
            << Log.join('\n').toStdString();
        const std::string partial = ReadFile(output);
        const std::string complete = downloadtest::Join(downloadtest::CompleteDownload(card.Image));
        EXPECT_LT(partial.size(), complete.size());
    }
    // vpcd takes no further card once one went in the middle of a command, until
    // pcscd starts again; a real reader has no such limit.
    Pcscd.Stop();
    std::string error;
    ASSERT_TRUE(Pcscd.Start(&error)) << error;
    TInsertedCard again(cardsim::BuildDriverCard(), false);
    Messages.clear();
    DownloadInWindow(output);
    EXPECT_TRUE(SameBytes(ReadFile(output),
                          downloadtest::Join(downloadtest::CompleteDownload(again.Image))));
}

TEST_F(PcscdDownload, ACardHeldExclusivelyByAnotherProcessIsNotDownloaded) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    const fs::path output = Dir / "tmp.ddd";
    WriteFile(output, "previous download");

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        TPCSCRaw pcsc;
        SCARDCONTEXT context = 0;
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        const bool held =
            pcsc.Load() == 0 &&
            pcsc.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) == 0 &&
            pcsc.Connect(context, kReader0.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &handle, &protocol) ==
                0;
        const char answer = held ? 'y' : 'n';
        [[maybe_unused]] const auto written = write(ready[1], &answer, 1);
        pause(); // until killed
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    {
        TMainForm window;
        window.FOutputPath = output.string();
        window.FRootKeyPath = DRAVIK_TEST_ROOT_KEY_PATH;
        ASSERT_TRUE(ProcessUntil([&] {
            return window.ReaderObjectAt(0) && window.ReaderObjectAt(0)->CardState == csExclusive;
        })) << window.LogLines().join('\n').toStdString();
        ASSERT_TRUE(window.Form()->BitBtn1->isEnabled());
        const int before = window.LogLines().size();
        window.Form()->BitBtn1->click();
        const QStringList log = window.LogLines().mid(before);
        ASSERT_EQ(log.size(), 2) << log.join('\n').toStdString();
        EXPECT_EQ(log[0], "SCardConnect failed with error code 8010000B ");
        EXPECT_EQ(log[1], "(SCARD_E_SHARING_VIOLATION).");
        EXPECT_TRUE(Messages.isEmpty());
        EXPECT_EQ(window.LogHolds(), 0);
        EXPECT_TRUE(window.Form()->BitBtn1->isEnabled());
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(ReadFile(output), "previous download");
}

TEST_F(PcscdDownload, TwoReadersWithACardEachAreDownloadedByChoice) {
    cardsim::TCardOptions second;
    second.CardNumber = "D200000098765400";
    second.Seed = 7;
    TInsertedCard first(cardsim::BuildDriverCard(), false, vpcd::kDefaultPort);
    TInsertedCard other(cardsim::BuildDriverCard(second), true, vpcd::kDefaultPort + 1);
    const fs::path output = Dir / "tmp.ddd";
    DownloadInWindow(output, 1);
    EXPECT_TRUE(SameBytes(ReadFile(output),
                          downloadtest::Join(downloadtest::CompleteDownload(other.Image))));

    const TRun run = RunProgram(
        {DRAVIK_DOWNLOAD_PATH, "--reader", kReader0, "--output", (Dir / "cli.ddd").string()});
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_TRUE(SameBytes(ReadFile(Dir / "cli.ddd"),
                          downloadtest::Join(downloadtest::CompleteDownload(first.Image))));
    const TRun list = RunProgram({DRAVIK_DOWNLOAD_PATH, "--list"});
    EXPECT_EQ(list.ExitCode, 0);
    EXPECT_NE(list.Output.find(kReader0 + ": available\n"), std::string::npos) << list.Output;
    EXPECT_NE(list.Output.find(kReader1 + ": available\n"), std::string::npos) << list.Output;
}

TEST_F(PcscdDownload, AReplayedCardGivesBackTheSameContentsRecords) {
    const fs::path original = Dir / "original.ddd";
    {
        TInsertedCard card(cardsim::BuildDriverCard(), false);
        const TRun run =
            RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", original.string(), "--wait", "5"});
        ASSERT_EQ(run.ExitCode, 0) << run.Output;
    }
    const std::string bytes = ReadFile(original);
    auto image = cardsim::ImageFromDownload(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(image.has_value());
    TInsertedCard replay(*image, true);
    const fs::path copy = Dir / "replayed.ddd";
    const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", copy.string(), "--wait", "5"});
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    // Signature records are blanks either way, so the whole files agree.
    EXPECT_TRUE(SameBytes(ReadFile(copy), bytes));
}

TEST_F(PcscdDownload, TheCommandLineToolsExitCodes) {
    EXPECT_EQ(RunProgram({DRAVIK_DOWNLOAD_PATH, "--bogus"}).ExitCode, 2);
    EXPECT_EQ(RunProgram({DRAVIK_DOWNLOAD_PATH, "--wait"}).ExitCode, 2);
    const TRun help = RunProgram({DRAVIK_DOWNLOAD_PATH, "--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_NE(help.Output.find("--reader NAME"), std::string::npos);
    EXPECT_NE(help.Output.find("2 a usage, PC/SC or file error, or a\ndownload that is not whole"),
              std::string::npos)
        << help.Output;
    // Readers but no card: no driver card was read.
    EXPECT_EQ(RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", (Dir / "x.ddd").string()}).ExitCode, 1);
    EXPECT_EQ(RunProgram({DRAVIK_DOWNLOAD_PATH, "--reader", "No such reader"}).ExitCode, 2);
    Pcscd.Stop();
    EXPECT_EQ(RunProgram({DRAVIK_DOWNLOAD_PATH}).ExitCode, 2);
}

TEST_F(PcscdDownload, ACommandLineDownloadCutShortIsNotReportedAsGood) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    card.Card.RemoveAfter(60); // after EF Identification, within the sized files
    const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", (Dir / "cut.ddd").string()});
    EXPECT_EQ(run.ExitCode, 2) << run.Output;
    EXPECT_NE(run.Output.find("Kartica: D100000012345600\nVozac: Ž_ŠIMUNOVIĆ\n\n"
                              "Preuzimanje nije potpuno!\n\nObrada: "),
              std::string::npos)
        << run.Output;
}

TEST_F(PcscdDownload, ACardNumberOfBlanksIsNoDriverCardAsInTheWindow) {
    cardsim::TCardImage image = cardsim::BuildDriverCard();
    std::vector<std::uint8_t> identification = *image.Find(cardsim::ef::Identification);
    std::fill(identification.begin() + 1, identification.begin() + 17, ' ');
    image.Set(cardsim::ef::Identification, identification);
    TInsertedCard card(image, false);
    const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", (Dir / "blank.ddd").string()});
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find("Nije umetnuta kartica vozača!"), std::string::npos) << run.Output;
}
