// Downloads through the real pcsc-lite, pcscd and vpcd: the window (offscreen)
// and dravik-download, against the simulated driver card.
#include "ExpectedDownload.h"
#include "Pcscd.h"
#include "PostgresServer.h"
#include "WindowTestUtil.h"
#include "cardsim/DownloadFile.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"
#include "main/MainForm.h"
#include "main/WindowMessageBox.h"
#include "register/Register.h"
#include "ui_MainForm.h"
#include "vpcd/VpcdCard.h"

#include "FileCompare.h"
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <set>
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

// A simulated driver card in one of vpcd's readers; inserted at once unless
// `insert` is false (Insert()).
struct TInsertedCard {
    TInsertedCard(cardsim::TCardImage image, bool t0, int port = vpcd::kDefaultPort,
                  bool extended = false, bool insert = true)
        : Image(image), Card(std::move(image)),
          Virtual(t0 ? vpcd::AtrT0() : (extended ? vpcd::AtrT1Extended() : vpcd::AtrT1()),
                  [this](const std::vector<std::uint8_t>& apdu) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs.load()));
                      WaitForPeer(++Answered);
                      std::vector<std::uint8_t> answer = Card.Process(apdu);
                      // PSO: COMPUTE DIGITAL SIGNATURE answered with a byte off.
                      if (SignWrongly && apdu.size() >= 4 && apdu[1] == 0x2A && apdu[2] == 0x9E &&
                          answer.size() > 2) {
                          answer[0] ^= 0x01;
                      }
                      return answer;
                  }),
          Port(port) {
        Virtual.OnReset = [this] { Card.Reset(); };
        Card.ServeExtendedLength(extended);
        if (insert) {
            Insert();
        }
    }
    void Insert() {
        std::string error;
        Inserted = Virtual.Insert("127.0.0.1", Port, &error);
        EXPECT_TRUE(Inserted) << error;
        // pcscd reports the card present while it is still powering it up; a
        // connection at that moment fails (SCARD_W_UNPOWERED_CARD). A person
        // takes longer than this between inserting a card and pressing the button.
        std::this_thread::sleep_for(500ms);
    }
    // At the command `HoldAt`, the card waits (10 s at most) until `Peer` has
    // answered a command; `MetPeer` says whether it had.
    void WaitForPeer(int command) {
        TInsertedCard* peer = Peer.load();
        if (peer == nullptr || command != HoldAt) {
            return;
        }
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (peer->Answered == 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(10ms);
        }
        MetPeer = peer->Answered > 0;
    }
    cardsim::TCardImage Image;
    cardsim::TDriverCard Card;
    vpcd::TVpcdCard Virtual;
    int Port;
    bool Inserted = false;
    // How late the card answers each command, as real cards are.
    std::atomic<int> DelayMs{0};
    // Its signatures are not those of its key.
    std::atomic<bool> SignWrongly{false};
    std::atomic<int> Answered{0};
    std::atomic<TInsertedCard*> Peer{nullptr};
    std::atomic<int> HoldAt{0};
    std::atomic<bool> MetPeer{false};
};

// Another program that holds the card in `reader` exclusively until Release().
class TExclusiveHolder {
public:
    explicit TExclusiveHolder(const std::string& reader) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(Go) != 0) {
            return;
        }
        Pid = fork();
        if (Pid == 0) {
            TPCSCRaw pcsc;
            SCARDCONTEXT context = 0;
            SCARDHANDLE handle = 0;
            DWORD protocol = 0;
            const bool held =
                pcsc.Load() == 0 &&
                pcsc.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) == 0 &&
                pcsc.Connect(context, reader.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &handle,
                             &protocol) == 0;
            const char answer = held ? 'y' : 'n';
            [[maybe_unused]] auto written = write(ready[1], &answer, 1);
            char go = 0;
            [[maybe_unused]] auto got = read(Go[0], &go, 1);
            pcsc.Disconnect(handle, SCARD_LEAVE_CARD);
            _exit(0);
        }
        char answer = 0;
        Held = read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
        close(ready[1]);
    }
    ~TExclusiveHolder() { Release(); }
    void Release() {
        if (Pid > 0) {
            const char go = 'g';
            [[maybe_unused]] auto written = write(Go[1], &go, 1);
            waitpid(Pid, nullptr, 0);
            Pid = -1;
            close(Go[0]);
            close(Go[1]);
        }
    }
    bool Held = false;

private:
    pid_t Pid = -1;
    int Go[2] = {-1, -1};
};

// Runs a program and gives back its exit code and standard output (and its
// standard error, when asked for).
struct TRun {
    int ExitCode = -1;
    std::string Output;
    std::string Errors;
};

using TEnvironment = std::vector<std::pair<std::string, std::string>>;

// A program started with its standard output in a pipe (and its standard
// error in `errors` when given), with `environment` added to the test's.
pid_t StartProgram(const std::vector<std::string>& arguments, const TEnvironment& environment,
                   int& output, const std::string& errors = {}) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (!errors.empty() && freopen(errors.c_str(), "w", stderr) == nullptr) {
            _exit(126);
        }
        for (const auto& [name, value] : environment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char*> argv;
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    output = pipeFds[0];
    return pid;
}

TRun RunProgram(const std::vector<std::string>& arguments, const TEnvironment& environment = {}) {
    const std::string errors =
        (fs::temp_directory_path() / ("dravik-stderr-" + std::to_string(getpid()))).string();
    int output = -1;
    const pid_t pid = StartProgram(arguments, environment, output, errors);
    if (pid < 0) {
        return {};
    }
    int pipeFds[2] = {output, -1};
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
    std::ifstream in(errors);
    run.Errors.assign(std::istreambuf_iterator<char>(in), {});
    fs::remove(errors);
    return run;
}

// A program that keeps running (--watch): its output read line by line.
class TRunningProgram {
public:
    TRunningProgram(const std::vector<std::string>& arguments, const TEnvironment& environment) {
        Pid = StartProgram(arguments, environment, Output);
    }
    ~TRunningProgram() {
        if (Pid > 0) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Output >= 0) {
            close(Output);
        }
    }
    // The next line of its standard output, or nothing within `limit`.
    std::optional<std::string> Line(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto newline = Buffer.find('\n');
            if (newline != std::string::npos) {
                std::string line = Buffer.substr(0, newline);
                Buffer.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd ready{Output, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t got = read(Output, chunk, sizeof(chunk));
            if (got <= 0) {
                return std::nullopt;
            }
            Buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }
    void Signal(int signal) { kill(Pid, signal); }
    // Sends `signal` and waits for the end: the exit code, -1 when it was
    // killed or did not end within `limit`.
    int Stop(int signal, std::chrono::milliseconds limit) {
        kill(Pid, signal);
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(Pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                return -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        Pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t Pid = -1;
    int Output = -1;
    std::string Buffer;
};

QJsonObject ParseObject(const std::string& line) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
    EXPECT_TRUE(document.isObject()) << line;
    return document.object();
}

// Every file in `folder`, hidden ones too.
std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        // The register beside the downloads is not one of them.
        if (entry.path().filename() != registry::kSqliteFileName) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
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
    void DownloadInWindow(const fs::path& output, int index = 0, const fs::path& archive = {}) {
        TMainForm window;
        window.FOutputPath = output.string();
        if (!archive.empty()) {
            window.FArchiveFolder = archive.string();
        }
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
        const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--verbose", "--output", output.string(),
                                     "--wait", "5", "--root", DRAVIK_TEST_ROOT_KEY_PATH});
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
        const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--verbose", "--output", output.string(),
                                     "--wait", "5", "--root", DRAVIK_TEST_ROOT_KEY_PATH,
                                     "--root-g2", DRAVIK_TEST_ROOT_G2_PATH});
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

// pcscd (1.9.9) and vpcd pass extended-length APDUs over T=1 both ways: a
// card that announces extended length gets its G2 files in extended reads
// through the real stack, and the file is that of the short reads.
TEST_F(PcscdDownload, ExtendedLengthReadsPassThePcscdStack) {
    cardsim::TCardOptions options;
    options.Gen2Version = 2;
    std::string files[2];
    for (const bool extended : {false, true}) {
        TInsertedCard card(cardsim::BuildDriverCard(options), false, vpcd::kDefaultPort, extended);
        ASSERT_TRUE(card.Inserted);
        const fs::path output = Dir / "extended.ddd";
        const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--verbose", "--no-card-update",
                                     "--output", output.string(), "--wait", "5"});
        EXPECT_EQ(run.ExitCode, 0) << run.Output;
        EXPECT_EQ(run.Output.find("The card announces extended length") != std::string::npos,
                  extended);
        EXPECT_EQ(run.Output.find("short reads from here on"), std::string::npos) << run.Output;
        EXPECT_EQ(run.Output.find("G2 EF Driver_Activity_Data 0 - status = 9000  13780") !=
                      std::string::npos,
                  extended);
        files[extended ? 1 : 0] = ReadFile(output);
    }
    EXPECT_FALSE(files[0].empty());
    EXPECT_TRUE(SameBytes(files[1], files[0]));
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
    const TRun run =
        RunProgram({DRAVIK_DOWNLOAD_PATH, "--verbose", "--output", (Dir / "cut.ddd").string()});
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
    const TRun run =
        RunProgram({DRAVIK_DOWNLOAD_PATH, "--verbose", "--output", (Dir / "blank.ddd").string()});
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find("Nije umetnuta kartica vozača!"), std::string::npos) << run.Output;
}

// ------------------------------------------------ dravik-download for people and scripts

namespace {

// A home of the test's own: the archive's default and the window's settings.
TEnvironment HomeIn(const fs::path& home) {
    return {{"HOME", home.string()},
            {"XDG_CONFIG_HOME", (home / ".config").string()},
            {"XDG_DATA_HOME", (home / ".local/share").string()}};
}

} // namespace

TEST_F(PcscdDownload, TheCommandLineSaysInOneLineWhereTheArchiveKeepsTheDownload) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    const fs::path home = Dir / "home";
    const std::string expected = downloadtest::Join(downloadtest::CompleteDownload(card.Image));
    const std::string suffix = "_Ž_ŠIMUNOVIĆ_D100000012345600.ddd";

    // Without settings: <Documents>/Dravik, under the download name.
    TRun run =
        RunProgram({DRAVIK_DOWNLOAD_PATH, "--root", DRAVIK_TEST_ROOT_KEY_PATH}, HomeIn(home));
    EXPECT_EQ(run.ExitCode, 0) << run.Output << run.Errors;
    std::vector<std::string> files = FilesIn(home / "Documents/Dravik");
    ASSERT_EQ(files.size(), 1u) << run.Output;
    EXPECT_TRUE(files[0].starts_with("C_") && files[0].ends_with(suffix)) << files[0];
    EXPECT_TRUE(SameBytes(ReadFile(home / "Documents/Dravik" / files[0]), expected));
    // One line: no log, no card bytes in hexadecimal.
    EXPECT_EQ(std::count(run.Output.begin(), run.Output.end(), '\n'), 1) << run.Output;
    EXPECT_TRUE(run.Output.starts_with(kReader0 +
                                       ": card D100000012345600, driver Ž_ŠIMUNOVIĆ; "
                                       "16 of 16 files read; signatures valid; "
                                       "saved as " +
                                       (home / "Documents/Dravik" / files[0]).string() + " ("))
        << run.Output;

    // The window's archive folder from its settings file, quoted there for
    // its comma.
    const fs::path chosen = Dir / "arhiva, Željko";
    fs::create_directories(home / ".config/Unknown Organization");
    WriteFile(home / ".config/Unknown Organization/Dravik.conf",
              "[General]\nlanguage=en\narchiveFolder=\"" + chosen.string() + "\"\n");
    run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--root", DRAVIK_TEST_ROOT_KEY_PATH}, HomeIn(home));
    EXPECT_EQ(run.ExitCode, 0) << run.Output << run.Errors;
    files = FilesIn(chosen);
    ASSERT_EQ(files.size(), 1u) << run.Output << run.Errors;
    EXPECT_NE(run.Output.find("saved as " + (chosen / files[0]).string()), std::string::npos)
        << run.Output;
}

TEST_F(PcscdDownload, JsonIsOneObjectPerDownloadEvenForNamesThatNeedEscapes) {
    cardsim::TCardOptions options;
    options.NameCodePage = 1;
    options.Surname = "O\"B\\R\x1B[2J";
    const fs::path home = Dir / "home";
    {
        TInsertedCard card(cardsim::BuildDriverCard(options), false);
        const TRun run = RunProgram(
            {DRAVIK_DOWNLOAD_PATH, "--json", "--root", DRAVIK_TEST_ROOT_KEY_PATH}, HomeIn(home));
        EXPECT_EQ(run.ExitCode, 0) << run.Errors;
        ASSERT_EQ(std::count(run.Output.begin(), run.Output.end(), '\n'), 1) << run.Output;
        const QJsonObject object = ParseObject(run.Output);
        EXPECT_EQ(object["reader"].toString().toStdString(), kReader0);
        EXPECT_EQ(object["cardNumber"].toString(), "D100000012345600");
        // The first names' initial, 0xAE, is ® in ISO/IEC 8859-1.
        EXPECT_EQ(object["driver"].toString().toStdString(), "®_O\"B\\R\x1B[2J");
        EXPECT_EQ(object["generation"].toInt(), 1);
        EXPECT_EQ(object["signatures"].toString(), "valid");
        EXPECT_TRUE(object["whole"].toBool());
        EXPECT_EQ(object["exitStatus"].toInt(), 0);
        const QJsonArray files = object["files"].toArray();
        ASSERT_EQ(files.size(), 16);
        for (const auto& file : files) {
            EXPECT_EQ(file.toObject()["status"].toString(), "read");
        }
        EXPECT_EQ(files[5].toObject()["fid"].toString(), "0520");
        EXPECT_TRUE(files[5].toObject()["signedByCard"].toBool());
        EXPECT_TRUE(fs::exists(fs::path(object["path"].toString().toStdString())));
    }
    // A card pulled halfway: still its object, saying so.
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    card.Card.RemoveAfter(60);
    const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--json", "--wait", "5"}, HomeIn(home));
    EXPECT_EQ(run.ExitCode, 2);
    ASSERT_EQ(std::count(run.Output.begin(), run.Output.end(), '\n'), 1) << run.Output;
    const QJsonObject object = ParseObject(run.Output);
    EXPECT_FALSE(object["whole"].toBool());
    EXPECT_EQ(object["exitStatus"].toInt(), 2);
    EXPECT_TRUE(object["path"].toString().endsWith("_nepotpuno.ddd")) << run.Output;
    const QJsonArray files = object["files"].toArray();
    ASSERT_FALSE(files.isEmpty());
    EXPECT_NE(files.last().toObject()["status"].toString(), "read") << run.Output;
}

TEST_F(PcscdDownload, OutputToAFolderTakesTheDownloadNameAndFileErrorsNameTheFile) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    const fs::path folder = Dir / "new folder";
    TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", folder.string() + "/"});
    EXPECT_EQ(run.ExitCode, 0) << run.Output << run.Errors;
    const std::vector<std::string> files = FilesIn(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].ends_with("_Ž_ŠIMUNOVIĆ_D100000012345600.ddd")) << files[0];

    // A file where a folder should be: the error names the file and the reason.
    WriteFile(Dir / "plain", "not a folder");
    const fs::path target = Dir / "plain" / "x.ddd";
    run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--output", target.string()});
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_NE(
        run.Errors.find("cannot write " + target.string() + ": I/O error 20 (Not a directory)"),
        std::string::npos)
        << run.Errors;
    EXPECT_EQ(FilesIn(Dir), (std::vector<std::string>{"new folder", "plain"}));
}

TEST_F(PcscdDownload, WatchDownloadsEachInsertionOnceAndStopsCleanlyOnSigterm) {
    const fs::path folder = Dir / "watch";
    const fs::path working = fs::path(DRAVIK_DOWNLOAD_PATH).parent_path() / "tmp.ddd";
    {
        TRunningProgram watch({DRAVIK_DOWNLOAD_PATH, "--watch", "--json", "--output",
                               folder.string() + "/", "--root", DRAVIK_TEST_ROOT_KEY_PATH},
                              {});
        for (int insertion = 0; insertion < 2; ++insertion) {
            TInsertedCard card(cardsim::BuildDriverCard(), insertion == 1);
            const auto line = watch.Line(20s);
            ASSERT_TRUE(line.has_value()) << "insertion " << insertion;
            const QJsonObject object = ParseObject(*line);
            EXPECT_EQ(object["exitStatus"].toInt(), 0) << *line;
            EXPECT_EQ(object["signatures"].toString(), "valid") << *line;
            // A card left in is downloaded once.
            EXPECT_FALSE(watch.Line(1500ms).has_value());
        }
        EXPECT_EQ(watch.Stop(SIGTERM, 5s), 0);
        const std::vector<std::string> files = FilesIn(folder);
        ASSERT_EQ(files.size(), 2u);
        // Two downloads in one minute share a download name and the second
        // gets " (2)"; downloads either side of a minute's end do not.
        const bool sameMinute = files[0].ends_with("_D100000012345600 (2).ddd");
        EXPECT_TRUE(sameMinute || files[0].ends_with("_D100000012345600.ddd")) << files[0];
        EXPECT_TRUE(files[1].ends_with("_D100000012345600.ddd")) << files[1];
    }

    // A stop during a slow download: the steps unwind, nothing gets a name,
    // and only the download's own working file goes: the shared one stays.
    const std::string shared = ReadFile(working);
    const fs::path slowFolder = Dir / "slow";
    TRunningProgram watch({DRAVIK_DOWNLOAD_PATH, "--watch", "--output", slowFolder.string() + "/"},
                          {});
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    card.DelayMs = 30;
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(watch.Stop(SIGTERM, 5s), 0);
    EXPECT_TRUE(FilesIn(slowFolder).empty());
    EXPECT_EQ(ReadFile(working), shared);
    for (const std::string& name : FilesIn(working.parent_path())) {
        EXPECT_FALSE(name.starts_with(".tmp.ddd.")) << name;
    }
}

// ------------------------------------------------ downloads at the same time

namespace {

// The card number in an archived file's name, "..._D100000012345600.ddd".
std::string CardNumberOfName(const std::string& name) {
    const auto end = name.rfind(".ddd");
    return end == std::string::npos || end < 16 ? std::string() : name.substr(end - 16, 16);
}

} // namespace

// --watch downloads the cards of all readers at once: each card holds back an
// answer until the other reader's card was asked something, which one reader
// after the other never does within the wait. Both are reported, archived
// and recorded, each under its own card.
TEST_F(PcscdDownload, WatchDownloadsTheCardsOfAllReadersAtOnce) {
    cardsim::TCardOptions second;
    second.CardNumber = "D200000098765400";
    second.Seed = 7;
    const fs::path folder = Dir / "both";
    TRunningProgram watch({DRAVIK_DOWNLOAD_PATH, "--watch", "--json", "--output",
                           folder.string() + "/", "--root", DRAVIK_TEST_ROOT_KEY_PATH},
                          {});
    TInsertedCard first(cardsim::BuildDriverCard(), false, vpcd::kDefaultPort, false, false);
    TInsertedCard other(cardsim::BuildDriverCard(second), true, vpcd::kDefaultPort + 1, false,
                        false);
    first.Peer = &other;
    other.Peer = &first;
    first.HoldAt = 20;
    other.HoldAt = 20;
    first.Insert();
    other.Insert();
    std::set<std::string> reported;
    for (int download = 0; download < 2; ++download) {
        const auto line = watch.Line(30s);
        ASSERT_TRUE(line.has_value()) << "download " << download;
        const QJsonObject object = ParseObject(*line);
        EXPECT_EQ(object["exitStatus"].toInt(), 0) << *line;
        reported.insert(object["cardNumber"].toString().toStdString());
    }
    EXPECT_TRUE(first.MetPeer);
    EXPECT_TRUE(other.MetPeer);
    EXPECT_EQ(reported, (std::set<std::string>{"D100000012345600", "D200000098765400"}));
    EXPECT_EQ(watch.Stop(SIGTERM, 5s), 0);

    const std::vector<std::string> files = FilesIn(folder);
    ASSERT_EQ(files.size(), 2u);
    auto store = registry::OpenStore((folder / registry::kSqliteFileName).string(), {});
    ASSERT_TRUE(store);
    for (const std::string& name : files) {
        const TInsertedCard& card = CardNumberOfName(name) == "D200000098765400" ? other : first;
        EXPECT_TRUE(SameBytes(ReadFile(folder / name),
                              downloadtest::Join(downloadtest::CompleteDownload(card.Image))))
            << name;
        EXPECT_EQ(store->Files(CardNumberOfName(name), true).size(), 1u) << name;
    }
}

// Two downloads at once on two readers, from two programs and from the window
// and a program, all with the same shared working file: each succeeds, and
// each archived file holds its own card.
TEST_F(PcscdDownload, TwoDownloadsAtOnceOnTwoReadersEachKeepTheirOwnCard) {
    cardsim::TCardOptions second;
    second.CardNumber = "D200000098765400";
    second.Seed = 7;
    TInsertedCard first(cardsim::BuildDriverCard(), false, vpcd::kDefaultPort);
    TInsertedCard other(cardsim::BuildDriverCard(second), true, vpcd::kDefaultPort + 1);
    first.DelayMs = 5;
    other.DelayMs = 5;
    // Each card's second download reads the date its first wrote: each file
    // is compared with its card as it was when read.
    const auto checkArchive = [&](const fs::path& folder) {
        const std::vector<std::string> files = FilesIn(folder);
        ASSERT_EQ(files.size(), 2u) << folder;
        for (const std::string& name : files) {
            const TInsertedCard& card =
                CardNumberOfName(name) == "D100000012345600" ? first : other;
            const std::string bytes = ReadFile(folder / name);
            // The date in the file is the one read, before the card was told.
            const auto image = cardsim::ImageFromDownload(
                std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
            ASSERT_TRUE(image.has_value()) << name;
            cardsim::TCardImage withDate = card.Image;
            withDate.Set(cardsim::ef::CardDownload, *image->Find(cardsim::ef::CardDownload));
            EXPECT_TRUE(
                SameBytes(bytes, downloadtest::Join(downloadtest::CompleteDownload(withDate))))
                << name;
        }
    };

    const fs::path programs = Dir / "programs";
    int out0 = -1;
    int out1 = -1;
    const pid_t a = StartProgram(
        {DRAVIK_DOWNLOAD_PATH, "--reader", kReader0, "--output", programs.string() + "/"}, {},
        out0);
    const pid_t b = StartProgram(
        {DRAVIK_DOWNLOAD_PATH, "--reader", kReader1, "--output", programs.string() + "/"}, {},
        out1);
    for (const auto& [pid, fd] : {std::pair{a, out0}, std::pair{b, out1}}) {
        std::string output;
        char chunk[4096];
        ssize_t got;
        while ((got = read(fd, chunk, sizeof(chunk))) > 0) {
            output.append(chunk, static_cast<std::size_t>(got));
        }
        close(fd);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    }
    checkArchive(programs);

    // The window on one reader while a program downloads the other, both
    // with the program's shared working file.
    const fs::path both = Dir / "both";
    const fs::path shared = fs::path(DRAVIK_DOWNLOAD_PATH).parent_path() / "tmp.ddd";
    int out = -1;
    const pid_t program = StartProgram(
        {DRAVIK_DOWNLOAD_PATH, "--reader", kReader0, "--output", both.string() + "/"}, {}, out);
    DownloadInWindow(shared, 1, both);
    std::string output;
    char chunk[4096];
    ssize_t got;
    while ((got = read(out, chunk, sizeof(chunk))) > 0) {
        output.append(chunk, static_cast<std::size_t>(got));
    }
    close(out);
    int status = 0;
    waitpid(program, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_TRUE(Log.back().startsWith("Result: saved as ") && Log.back().endsWith(", whole"))
        << Log.back().toStdString();
    checkArchive(both);
    // The shared file is one whole download, of one card or the other.
    const std::string last = ReadFile(shared);
    EXPECT_TRUE(last.find("D100000012345600") != std::string::npos ||
                last.find("D200000098765400") != std::string::npos);
    for (const std::string& name : FilesIn(shared.parent_path())) {
        EXPECT_FALSE(name.starts_with(".tmp.ddd.")) << name;
    }
}

// Two programs reading one card at once: the card transaction makes one wait
// for the other, and neither file is ever a mix of both exchanges.
TEST_F(PcscdDownload, TwoProgramsOnOneCardNeverMixTheirCommands) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    card.DelayMs = 5;
    const std::string expected = downloadtest::Join(downloadtest::CompleteDownload(card.Image));
    std::vector<std::pair<pid_t, int>> runs;
    for (const char* name : {"a.ddd", "b.ddd"}) {
        int out = -1;
        const pid_t pid = StartProgram({DRAVIK_DOWNLOAD_PATH, "--reader", kReader0,
                                        "--no-card-update", "--output", (Dir / name).string()},
                                       {}, out);
        runs.emplace_back(pid, out);
    }
    for (const auto& [pid, fd] : runs) {
        char chunk[4096];
        while (read(fd, chunk, sizeof(chunk)) > 0) {
        }
        close(fd);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_TRUE(SameBytes(ReadFile(Dir / "a.ddd"), expected));
    EXPECT_TRUE(SameBytes(ReadFile(Dir / "b.ddd"), expected));
}

// A version-2 card without EF Application_Identification_V2 cannot be read
// whole: --output FILE is not written, and what was read is kept beside it.
TEST_F(PcscdDownload, AVersion2CardWithoutItsSizesIsNotWhole) {
    cardsim::TCardOptions options;
    options.Gen2Version = 2;
    cardsim::TCardImage image = cardsim::BuildDriverCard(options);
    image.Remove(cardsim::G2(0x0525));
    TInsertedCard card(image, false);
    const fs::path output = Dir / "v2.ddd";
    const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--json", "--output", output.string()});
    EXPECT_EQ(run.ExitCode, 2) << run.Output << run.Errors;
    const QJsonObject object = ParseObject(run.Output);
    EXPECT_FALSE(object["whole"].toBool());
    EXPECT_EQ(object["generation"].toInt(), 2);
    int notRead = 0;
    for (const auto& file : object["files"].toArray()) {
        const QJsonObject f = file.toObject();
        if (f["fid"].toString() == "0528" || f["fid"].toString() == "0529" ||
            f["fid"].toString() == "0530") {
            EXPECT_EQ(f["status"].toString(), "not read");
            ++notRead;
        }
    }
    EXPECT_EQ(notRead, 3);
    EXPECT_FALSE(fs::exists(output));
    EXPECT_TRUE(fs::exists(Dir / "v2_nepotpuno.ddd"));
    EXPECT_EQ(object["path"].toString().toStdString(), (Dir / "v2_nepotpuno.ddd").string());
}

// A whole download whose signatures are checked and found not valid is kept,
// and exits with a status of its own.
TEST_F(PcscdDownload, SignaturesFoundNotValidExitWithThree) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    card.SignWrongly = true;
    const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--json", "--root",
                                 DRAVIK_TEST_ROOT_KEY_PATH, "--output", (Dir / "x.ddd").string()});
    EXPECT_EQ(run.ExitCode, 3) << run.Output << run.Errors;
    const QJsonObject object = ParseObject(run.Output);
    EXPECT_TRUE(object["whole"].toBool());
    EXPECT_EQ(object["signatures"].toString(), "not valid");
    EXPECT_EQ(object["exitStatus"].toInt(), 3);
    EXPECT_TRUE(fs::exists(Dir / "x.ddd"));
    const TRun help = RunProgram({DRAVIK_DOWNLOAD_PATH, "--help"});
    EXPECT_NE(help.Output.find("; 3 the card was read whole and kept"), std::string::npos);
}

// --watch tries a card it could not reach (another program held it) again,
// once a second, until it is read: the first failure is told once.
TEST_F(PcscdDownload, WatchTriesACardItCouldNotReachUntilItIsRead) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    TExclusiveHolder holder(kReader0);
    ASSERT_TRUE(holder.Held);
    TRunningProgram watch(
        {DRAVIK_DOWNLOAD_PATH, "--watch", "--json", "--output", (Dir / "watch").string() + "/"},
        {});
    const auto failed = watch.Line(10s);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(ParseObject(*failed)["exitStatus"].toInt(), 2) << *failed;
    EXPECT_FALSE(watch.Line(2500ms).has_value()) << "a retry is told only once it reads";
    holder.Release();
    const auto read = watch.Line(10s);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(ParseObject(*read)["exitStatus"].toInt(), 0) << *read;
    EXPECT_EQ(watch.Stop(SIGTERM, 5s), 0);
    EXPECT_EQ(FilesIn(Dir / "watch").size(), 1u);
}

// The first Ctrl+C lets the command under way end; a second ends the program
// at once, however slow the card.
TEST_F(PcscdDownload, ASecondInterruptEndsTheProgramAtOnce) {
    TInsertedCard card(cardsim::BuildDriverCard(), false);
    card.DelayMs = 20;
    TRunningProgram program({DRAVIK_DOWNLOAD_PATH, "--output", (Dir / "x.ddd").string()}, {});
    std::this_thread::sleep_for(1s);
    card.DelayMs = 4000;
    std::this_thread::sleep_for(500ms);
    program.Signal(SIGINT);
    std::this_thread::sleep_for(200ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(program.Stop(SIGINT, 1500ms), 128 + SIGINT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    card.DelayMs = 0;
}

// --watch with an archive that cannot take a download: that download's line
// says so and where it is kept, the card is not told, and the next card is
// downloaded as ever.
TEST_F(PcscdDownload, WatchReportsAStoreThatFailedAndGoesOn) {
    const fs::path folder = Dir / "watched";
    TRunningProgram watch(
        {DRAVIK_DOWNLOAD_PATH, "--watch", "--json", "--output", folder.string() + "/"}, {});
    std::this_thread::sleep_for(1s);
    fs::remove_all(folder);
    WriteFile(folder, "not a folder");
    std::string kept;
    {
        TInsertedCard card(cardsim::BuildDriverCard(), false);
        const auto line = watch.Line(20s);
        ASSERT_TRUE(line.has_value());
        const QJsonObject object = ParseObject(*line);
        EXPECT_EQ(object["exitStatus"].toInt(), 2) << *line;
        EXPECT_TRUE(object["error"].toString().startsWith("cannot archive into")) << *line;
        kept = object["path"].toString().toStdString();
        EXPECT_TRUE(SameBytes(ReadFile(kept),
                              downloadtest::Join(downloadtest::CompleteDownload(card.Image))));
        EXPECT_EQ(card.Card.FileContents(cardsim::ef::CardDownload),
                  *card.Image.Find(cardsim::ef::CardDownload));
    }
    fs::remove(folder);
    fs::create_directories(folder);
    TInsertedCard next(cardsim::BuildDriverCard(), true);
    const auto line = watch.Line(20s);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(ParseObject(*line)["exitStatus"].toInt(), 0) << *line;
    EXPECT_EQ(FilesIn(folder).size(), 1u);
    EXPECT_EQ(watch.Stop(SIGTERM, 5s), 0);
    fs::remove(kept);
}

// ------------------------------------------------ the office register

TEST_F(PcscdDownload, EveryDepotRecordsInTheSharedRegisterAndAServerStoppedMeanwhileLosesNone) {
    TPostgresServer server;
    std::string error;
    ASSERT_TRUE(server.Create(&error)) << error;
    const std::string url = server.Url();
    const fs::path folder = Dir / "depot1";
    auto card = [](const char* number) {
        cardsim::TCardOptions options;
        options.CardNumber = number;
        return cardsim::BuildDriverCard(options);
    };
    {
        TRunningProgram watch({DRAVIK_DOWNLOAD_PATH, "--watch", "--json", "--output",
                               folder.string() + "/", "--store", url, "--root",
                               DRAVIK_TEST_ROOT_KEY_PATH},
                              HomeIn(Dir / "home1"));
        const char* numbers[] = {"D100000000000011", "D100000000000012", "D100000000000013"};
        for (int insertion = 0; insertion < 3; ++insertion) {
            // The second download is made while the server is down.
            if (insertion == 1) {
                server.Stop();
            } else if (insertion == 2) {
                ASSERT_TRUE(server.Start(&error)) << error;
            }
            TInsertedCard inserted(card(numbers[insertion]), false);
            const auto line = watch.Line(20s);
            ASSERT_TRUE(line.has_value()) << "insertion " << insertion;
            EXPECT_EQ(ParseObject(*line)["exitStatus"].toInt(), 0) << *line;
            EXPECT_FALSE(watch.Line(1500ms).has_value());
        }
        EXPECT_EQ(watch.Stop(SIGTERM, 5s), 0);
    }
    // Another depot's single download into the same register.
    {
        TInsertedCard inserted(card("D100000000000014"), false);
        const TRun run = RunProgram({DRAVIK_DOWNLOAD_PATH, "--wait", "5", "--store", url, "--root",
                                     DRAVIK_TEST_ROOT_KEY_PATH},
                                    HomeIn(Dir / "home2"));
        EXPECT_EQ(run.ExitCode, 0) << run.Output << run.Errors;
        EXPECT_EQ(run.Errors.find("NOT recorded"), std::string::npos) << run.Errors;
    }

    // Four downloads, each under its own card, each file byte for byte.
    auto store = registry::OpenStore(url, {});
    EXPECT_EQ(store->Drivers().size(), 4u);
    std::vector<std::string> files = FilesIn(folder);
    ASSERT_EQ(files.size(), 3u);
    for (const std::string& name : files) {
        const std::string number = name.substr(name.size() - 20, 16);
        const auto recorded = store->Files(number, true);
        ASSERT_EQ(recorded.size(), 1u) << name;
        EXPECT_EQ(recorded[0].FileName, name);
        EXPECT_TRUE(SameBytes(downloadtest::AsString(recorded[0].Bytes), ReadFile(folder / name)));
        EXPECT_TRUE(recorded[0].Whole);
        // The one recorded late was taken from the archive folder, where
        // its verdict is not written down.
        EXPECT_EQ(recorded[0].Signatures, number == "D100000000000012"
                                              ? registry::TVerdict::NotChecked
                                              : registry::TVerdict::Valid)
            << name;
    }
    const fs::path other = Dir / "home2/Documents/Dravik";
    files = FilesIn(other);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(SameBytes(downloadtest::AsString(store->Files("D100000000000014", false)[0].Bytes),
                          ReadFile(other / files[0])));

    // With no store given, the archive folder's own: made by the first
    // download, its owner's alone.
    TInsertedCard inserted(card("D100000000000015"), false);
    const fs::path own = Dir / "own";
    const TRun run =
        RunProgram({DRAVIK_DOWNLOAD_PATH, "--wait", "5", "--output", own.string() + "/"});
    EXPECT_EQ(run.ExitCode, 0) << run.Errors;
    EXPECT_EQ(fs::status(own / registry::kSqliteFileName).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(registry::OpenStore({}, own.string())->Drivers().size(), 1u);
}
