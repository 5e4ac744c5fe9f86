// The read button's download from the press to the closing message, against
// the simulated driver card: the window's state on every way out, the log, the
// closing message, the connection, and failures of the card download file.
#include "DownloadTestCard.h"

#include "main/CardDownloadFile.h"

#ifdef _WIN32
#include "platform/WideText.h"

#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace downloadtest;
namespace ef = cardsim::ef;

namespace {

const std::string kSavedCaption = "Preuzmi podatke s kartice";
const std::string kCroatianReading = "Čitanje u tijeku...";
const std::string kNoCardMessage = "Nije umetnuta kartica vozača!";
const std::string kAtrLine = "ATR = 3B 80 80 01 01 ";

// The line that ends every download in the log: where the file went (no
// archive folder is set here) and whether it is whole.
std::string SavedLine(const std::string& path, bool whole) {
    return "Result: saved as " + path + (whole ? ", whole" : ", not whole");
}
#ifndef _WIN32
// Only the file failures made the POSIX way below end so.
std::string NotSavedLine(const std::string& path, const std::string& error) {
    return "Result: not saved, " + error + " (" + path + ")";
}
#endif
const std::string kPreviousFile = "the previous download, to be left alone";
const std::string kAllValid = std::string("Signatures valid: certificate chain valid; 12 of 12 "
                                          "signatures valid (root key ") +
                              DRAVIK_TEST_ROOT_KEY_PATH + ")";

class BitBtn1ClickTest : public TDriverCardTest {
protected:
    void SetUp() override {
        TDriverCardTest::SetUp();
        Session.Caption = kSavedCaption;
        Session.FRootKeyPath = DRAVIK_TEST_ROOT_KEY_PATH;
    }

    void OpenEmptyReader() {
        OpenReader();
        ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
    }

    void Click() {
        fakepcsc::ClearCalls();
        Session.Trace.clear();
        Session.Log.clear();
        Before = LocalNow();
        Session.BitBtn1Click();
        After = LocalNow();
    }

    // The message begins with `start` and ends as every closing message does:
    // two carriage returns, "Obrada: ", the milliseconds, "ms".
    static bool EndsWithProcessingTime(const std::string& message, const std::string& start) {
        const std::string middle = start + "\r\rObrada: ";
        if (message.rfind(middle, 0) != 0 || message.size() < middle.size() + 3 ||
            message.substr(message.size() - 2) != "ms") {
            return false;
        }
        const std::string digits =
            message.substr(middle.size(), message.size() - middle.size() - 2);
        return std::all_of(digits.begin(), digits.end(),
                           [](char c) { return c >= '0' && c <= '9'; });
    }

    // Hold ended, saved caption back, then the window's own update: the last
    // two things every way out does.
    void ExpectRestored() const {
        EXPECT_EQ(Session.HoldDepth, 0);
        EXPECT_EQ(std::count(Session.Trace.begin(), Session.Trace.end(), "hold+"), 1);
        EXPECT_EQ(std::count(Session.Trace.begin(), Session.Trace.end(), "hold-"), 1);
        ASSERT_GE(Session.Trace.size(), 2u);
        EXPECT_EQ(Session.Trace[Session.Trace.size() - 2], "button:" + kSavedCaption + "|0");
        EXPECT_EQ(Session.Trace.back(), "update");
        EXPECT_LT(Session.TraceIndex("hold+"),
                  Session.TraceIndex("button:" + kCroatianReading + "|0"));
    }

    void ExpectDisconnected() const {
        EXPECT_EQ(Reader->CardHandle, pcsc::kNoCardHandle);
        EXPECT_EQ(fakepcsc::OpenCards(), 0);
        const auto disconnects = fakepcsc::Calls("SCardDisconnect");
        ASSERT_EQ(disconnects.size(), 1u);
        EXPECT_EQ(disconnects[0].Disposition, static_cast<std::uint64_t>(SCARD_UNPOWER_CARD));
    }

    std::string NameMiddleOf(const std::string& middle) const {
        const std::string first = "C_" + Stamp(Before) + "_" + middle;
        return Session.DownloadName == first ? first : "C_" + Stamp(After) + "_" + middle;
    }

    std::tm Before{}, After{};
};

} // namespace

// ------------------------------------------------------ nothing to download

TEST_F(BitBtn1ClickTest, WithoutASelectedReaderOnlyTheDownloadNameIsEmptied) {
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    Session.DownloadName = "C_20240101_1200_A_DRIVER_D100000012345600";
    Session.Selected = nullptr;
    Click();
    EXPECT_EQ(Session.Trace, std::vector<std::string>({"name:"}));
    EXPECT_EQ(Session.Caption, kSavedCaption);
    EXPECT_TRUE(Session.Enabled);
    EXPECT_EQ(OutputFile(), kPreviousFile);
}

TEST_F(BitBtn1ClickTest, WithoutACardTheMessageSaysSoAndTheFileStays) {
    OpenEmptyReader();
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    Click();
    ASSERT_EQ(Session.Messages.size(), 1u);
    EXPECT_TRUE(EndsWithProcessingTime(Session.Messages[0], kNoCardMessage)) << Session.Messages[0];
    EXPECT_EQ(Session.Trace,
              std::vector<std::string>({"name:", "hold+", "button:" + kCroatianReading + "|0",
                                        "hold-", "message:" + Session.Messages[0],
                                        "button:" + kSavedCaption + "|0", "update"}));
    EXPECT_TRUE(Session.Log.empty());
    EXPECT_TRUE(fakepcsc::Calls("SCardConnect").empty());
    EXPECT_EQ(OutputFile(), kPreviousFile);
    // The window's update then shows the reader without a card.
    EXPECT_EQ(Session.Caption, "Umetnite tahografsku karticu");
    EXPECT_FALSE(Session.Enabled);

    Session.FCroatian = false;
    Click();
    EXPECT_EQ(Session.Trace.at(2), "button:Reading...|0");
    EXPECT_TRUE(EndsWithProcessingTime(Session.Messages.at(1), kNoCardMessage));
}

// ------------------------------------------------------------ a whole card

TEST_F(BitBtn1ClickTest, AFullDownloadLogsEveryStepAndNamesCardAndDriver) {
    InsertDriverCard();
    Click();

    std::vector<std::string> expected = {"SCardConnect succeeded.", kAtrLine};
    for (const std::string& line : CompleteDownloadLog(Image)) {
        expected.push_back(line);
    }
    expected.push_back("SCardDisconnect succeeded.");
    expected.push_back(kAllValid);
    expected.push_back(SavedLine(Session.FOutputPath, true));
    EXPECT_EQ(Session.Log, expected);

    ASSERT_EQ(Session.Messages.size(), 1u);
    EXPECT_TRUE(EndsWithProcessingTime(Session.Messages[0],
                                       "Kartica: D100000012345600\rVozac: Ž_ŠIMUNOVIĆ"))
        << Session.Messages[0];
    EXPECT_TRUE(Session.Errors.empty());
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    EXPECT_EQ(Session.DownloadName, NameMiddleOf("Ž_ŠIMUNOVIĆ_D100000012345600"));

    // Emptied first, named once the identification is read; the log is painted
    // before the message box opens.
    EXPECT_EQ(Session.Trace.front(), "name:");
    EXPECT_LT(Session.TraceIndex("log:SCardDisconnect succeeded."), Session.TraceIndex("hold-"));
    EXPECT_LT(Session.TraceIndex("hold-"), Session.TraceIndex("message:" + Session.Messages[0]));
    ExpectRestored();
    EXPECT_EQ(Session.Caption, kSavedCaption);
    EXPECT_TRUE(Session.Enabled);
    ExpectDisconnected();

    // Shared use; every exchange offers the card the whole response buffer.
    const auto connects = fakepcsc::Calls("SCardConnect");
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].ShareMode, static_cast<std::uint64_t>(SCARD_SHARE_SHARED));
    for (const auto& transmit : fakepcsc::Calls("SCardTransmit")) {
        ASSERT_EQ(transmit.Length, kExchangeBufferSize);
    }
}

TEST_F(BitBtn1ClickTest, AnOpenConnectionIsUsedAsItIsAndClosedAtTheEnd) {
    InsertDriverCard();
    ASSERT_EQ(Session.ConnectCard(*Reader, false), pcsc::kSuccess);
    Click();
    ASSERT_FALSE(Session.Log.empty());
    EXPECT_EQ(Session.Log.front(), kAtrLine);
    EXPECT_EQ(std::count(Session.Log.begin(), Session.Log.end(), "SCardConnect succeeded."), 0);
    EXPECT_TRUE(fakepcsc::Calls("SCardConnect").empty());
    ASSERT_GE(Session.Log.size(), 3u);
    EXPECT_EQ(Session.Log[Session.Log.size() - 3], "SCardDisconnect succeeded.");
    EXPECT_EQ(Session.Log[Session.Log.size() - 2], kAllValid);
    EXPECT_EQ(Session.Log.back(), SavedLine(Session.FOutputPath, true));
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    ExpectDisconnected();
    ExpectRestored();
}

TEST_F(BitBtn1ClickTest, ACardHeldExclusivelyElsewhereEndsAfterTheFailedConnection) {
    InsertDriverCard();
    fakepcsc::SetCardExclusive(kReaderName, true);
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csExclusive; }));
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    Click();
    EXPECT_EQ(Session.Log,
              std::vector<std::string>({"SCardConnect failed with error code 8010000B ",
                                        "(SCARD_E_SHARING_VIOLATION)."}));
    EXPECT_EQ(Session.Trace,
              std::vector<std::string>({"name:", "hold+", "button:" + kCroatianReading + "|0",
                                        "log:SCardConnect failed with error code 8010000B ",
                                        "log:(SCARD_E_SHARING_VIOLATION).", "hold-",
                                        "button:" + kSavedCaption + "|0", "update"}));
    EXPECT_TRUE(Session.Messages.empty());
    EXPECT_TRUE(Session.Errors.empty());
    EXPECT_EQ(OutputFile(), kPreviousFile);
    EXPECT_TRUE(fakepcsc::Calls("SCardTransmit").empty());
    EXPECT_EQ(Reader->CardHandle, pcsc::kNoCardHandle);
}

TEST_F(BitBtn1ClickTest, WithoutIdentificationTheCardIsNamedAsMissing) {
    InsertDriverCard();
    Card->SetUnreadable(ef::Identification);
    Click();
    ASSERT_EQ(Session.Messages.size(), 1u);
    EXPECT_TRUE(EndsWithProcessingTime(Session.Messages[0], kNoCardMessage)) << Session.Messages[0];
    EXPECT_EQ(Session.DownloadName, NameMiddleOf("_"));
    EXPECT_EQ(Session.DownloadName.substr(Session.DownloadName.size() - 2), "__");
    ExpectRestored();
    ExpectDisconnected();
}

TEST_F(BitBtn1ClickTest, AFileTheCardRefusesMakesTheDownloadIncomplete) {
    struct TCase {
        const char* What;
        std::function<void(cardsim::TDriverCard&)> Fault;
    };
    const TCase cases[] = {
        {"unreadable events",
         [](cardsim::TDriverCard& card) { card.SetUnreadable(ef::EventsData); }},
        {"a chunk refused",
         [](cardsim::TDriverCard& card) { card.FailRead(ef::DriverActivityData, 500, 0x6581); }},
        {"an unreadable fixed file",
         [](cardsim::TDriverCard& card) { card.SetUnreadable(ef::CurrentUsage); }},
    };
    for (const TCase& c : cases) {
        Session.Messages.clear();
        InsertDriverCard();
        c.Fault(*Card);
        Click();
        ASSERT_EQ(Session.Messages.size(), 1u) << c.What;
        EXPECT_NE(Session.Messages[0].find("\r\rPreuzimanje nije potpuno!\r\rObrada: "),
                  std::string::npos)
            << c.What << ": " << Session.Messages[0];
    }
    // A whole card carries no warning.
    Session.Messages.clear();
    InsertDriverCard();
    Click();
    ASSERT_EQ(Session.Messages.size(), 1u);
    EXPECT_EQ(Session.Messages[0].find("Preuzimanje"), std::string::npos) << Session.Messages[0];
    EXPECT_TRUE(Session.FLastIdentity.Complete);
}

// ------------------------------------------------------------ card pulled

TEST_F(BitBtn1ClickTest, ACardPulledMidwayEndsEveryStepAndIsStillReported) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    auto card = std::make_shared<cardsim::TDriverCard>(image);
    Image = image;
    // Pulled while EF Events_Data's chunk at offset 750 is on its way.
    InsertCard([card](const Bytes& apdu) {
        if (apdu == Bytes({0x00, 0xB0, 0x02, 0xEE, 0xFA})) {
            fakepcsc::RemoveCard(kReaderName);
            throw std::runtime_error("card pulled");
        }
        return card->Process(apdu);
    });
    Click();

    TSegments segments = CompleteDownload(image);
    std::string expectedFile;
    for (const auto& [fid, bytes] : segments) {
        if (fid == 0x0502) {
            // The header gives the 750 bytes written, not the 1728 announced.
            expectedFile += std::string("\x05\x02\x00\x02\xEE", 5) +
                            FileOf(image, ef::EventsData).substr(0, 750) + Signature(0x0502);
            break;
        }
        expectedFile += bytes;
    }
    EXPECT_EQ(OutputFile(), expectedFile);

    std::vector<std::string> expected = {"SCardConnect succeeded.", kAtrLine};
    const auto complete = CompleteDownloadLog(image);
    const auto eventsStart =
        std::find(complete.begin(), complete.end(), "EF events data 0 - status = 9000  250");
    ASSERT_NE(eventsStart, complete.end());
    expected.insert(expected.end(), complete.begin(), eventsStart + 9); // three good chunks
    const std::string events = FileOf(image, ef::EventsData);
    const std::vector<std::string> tail = {"SCardTransmit failed with error code 80100016 ",
                                           "(SCARD_E_NOT_TRANSACTED).",
                                           "EF events data 750 - status =   250",
                                           "EF events data all:", Printable(events.substr(0, 750))};
    expected.insert(expected.end(), tail.begin(), tail.end());
    // faults, vehicles, places, activities and the second application's probe
    for (int select = 0; select < 5; ++select) {
        expected.push_back("SCardTransmit failed with error code 80100069 ");
        expected.push_back("(SCARD_W_REMOVED_CARD).");
    }
    expected.push_back("SCardDisconnect failed with error code 80100069 ");
    expected.push_back("(SCARD_W_REMOVED_CARD).");
    // The last line says so, and that the check found it not valid.
    ASSERT_FALSE(Session.Log.empty());
    EXPECT_EQ(Session.Log.back(), SavedLine(Session.FOutputPath, false) + ", signatures not valid");
    Session.Log.pop_back();
    // EF Events_Data's record is framed by the bytes written, so the checker
    // reads the whole file and finds the blanks that stand for its signature.
    ASSERT_FALSE(Session.Log.empty());
    EXPECT_EQ(
        Session.Log.back().rfind(
            "Signatures NOT valid: certificate chain valid; 7 of 8 signatures valid, 1 blank", 0),
        0u)
        << Session.Log.back();
    Session.Log.pop_back();
    // The files the card took with it are named.
    ASSERT_FALSE(Session.Log.empty());
    EXPECT_EQ(Session.Log.back(), "files missing or cut: EF Faults_Data (05 03), EF Vehicles_Used "
                                  "(05 05), EF Places (05 06), EF Driver_Activity_Data (05 04)");
    Session.Log.pop_back();
    EXPECT_EQ(Session.Log, expected);

    // The identification was read before the card went, but the download is
    // not whole and must not pass for a good one.
    ASSERT_EQ(Session.Messages.size(), 1u);
    EXPECT_TRUE(EndsWithProcessingTime(
        Session.Messages[0],
        "Kartica: D100000012345600\rVozac: Ž_ŠIMUNOVIĆ\r\rPreuzimanje nije potpuno!"))
        << Session.Messages[0];
    EXPECT_FALSE(Session.FLastIdentity.Complete);
    ExpectRestored();
    EXPECT_EQ(Reader->CardHandle, pcsc::kNoCardHandle);
    EXPECT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
}

TEST_F(BitBtn1ClickTest, TheSecondDownloadReplacesTheFirstFileWhole) {
    InsertDriverCard();
    Click();
    ASSERT_EQ(OutputFile(), Join(CompleteDownload(Image)));

    // Another card, whose tachograph application does not answer at all.
    cardsim::TCardOptions options;
    options.Seed = 2;
    options.CardNumber = "HR00000000000002";
    const cardsim::TCardImage second = cardsim::BuildDriverCard(options);
    auto card = std::make_shared<cardsim::TDriverCard>(second);
    fakepcsc::InsertCard(kReaderName, kAtrT1, fakepcsc::TProtocol::T1, [card](const Bytes& apdu) {
        if (apdu == kSelectTachograph) {
            throw std::runtime_error("no answer");
        }
        return card->Process(apdu);
    });
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csAvailable; }));
    Click();
    EXPECT_EQ(OutputFile(),
              Contents(0x0002, FileOf(second, ef::Icc)) + Contents(0x0005, FileOf(second, ef::Ic)));
    EXPECT_EQ(Session.Log.front(), "SCardConnect succeeded.");
    EXPECT_EQ(Session.DownloadName, "");
    ASSERT_EQ(Session.Messages.size(), 2u);
    EXPECT_TRUE(EndsWithProcessingTime(Session.Messages[1], kNoCardMessage));
    ExpectDisconnected();
    ExpectRestored();
}

// ------------------------------------------------------ the file's failures

#ifndef _WIN32

TEST(FileErrorMessage, RefusedAccessHasItsTextEveryOtherErrorItsNumber) {
    EXPECT_EQ(FileErrorMessage(EACCES), "File access denied");
    EXPECT_EQ(FileErrorMessage(EPERM), "File access denied");
    EXPECT_EQ(FileErrorMessage(EROFS), "File access denied");
    EXPECT_EQ(FileErrorMessage(ENOSPC), "I/O error 28");
    EXPECT_EQ(FileErrorMessage(EISDIR), "I/O error 21");
    const TFileError error(EIO);
    EXPECT_STREQ(error.what(), "I/O error 5");
    EXPECT_EQ(error.ErrorNumber(), EIO);
}

TEST_F(BitBtn1ClickTest, AFileThatCannotBeCreatedEndsTheDownloadWithItsError) {
    InsertDriverCard();
    std::filesystem::create_directory(Session.FOutputPath);
    Click();
    EXPECT_EQ(Session.Errors, std::vector<std::string>({"I/O error 21"}));
    EXPECT_TRUE(Session.Messages.empty());
    EXPECT_EQ(Session.Log, std::vector<std::string>(
                               {"SCardConnect succeeded.", kAtrLine, "SCardDisconnect succeeded.",
                                NotSavedLine(Session.FOutputPath, "I/O error 21")}));
    EXPECT_TRUE(fakepcsc::Calls("SCardTransmit").empty());
    // Card released and log painted before the error box runs its own loop.
    EXPECT_LT(Session.TraceIndex("log:SCardDisconnect succeeded."), Session.TraceIndex("hold-"));
    EXPECT_LT(Session.TraceIndex("hold-"), Session.TraceIndex("error:I/O error 21"));
    ExpectDisconnected();
    ExpectRestored();
}

TEST_F(BitBtn1ClickTest, AFullDiskEndsTheDownloadAtTheFirstWrite) {
    InsertDriverCard();
    struct stat before {};
    ASSERT_EQ(::stat("/dev/full", &before), 0);
    Session.FOutputPath = "/dev/full";
    Click();
    EXPECT_EQ(Session.Errors, std::vector<std::string>({"I/O error 28"}));
    EXPECT_TRUE(Session.Messages.empty());
    EXPECT_EQ(fakepcsc::Calls("SCardTransmit").size(), 2u); // EF ICC's SELECT and READ BINARY
    ASSERT_EQ(Session.Log.size(), 7u);
    EXPECT_EQ(Session.Log[2], "EF ICC ReadBinary OK");
    EXPECT_EQ(Session.Log[5], "SCardDisconnect succeeded.");
    EXPECT_EQ(Session.Log.back(), NotSavedLine("/dev/full", "I/O error 28"));
    ExpectDisconnected();
    ExpectRestored();
    // A device is written to, never truncated or made private.
    struct stat after {};
    ASSERT_EQ(::stat("/dev/full", &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
}

namespace {

// Holds the size that this process may give a file, and ignores the signal
// that exceeding it raises, so that the write fails with EFBIG instead.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &Saved);
        PreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = Saved;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &Saved);
        std::signal(SIGXFSZ, PreviousHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    rlimit Saved{};
    void (*PreviousHandler)(int) = SIG_DFL;
};

} // namespace

TEST_F(BitBtn1ClickTest, AWriteFailingMidwayKeepsWhatWasWrittenBeforeIt) {
    InsertDriverCard();
    const TSegments segments = CompleteDownload(Image);
    // Everything up to the signature records of EF Events_Data and EF Faults_Data.
    auto upToSignatureOf = [&](std::uint16_t fid) {
        std::string bytes;
        for (const auto& [id, records] : segments) {
            if (id == fid) {
                return bytes + records.substr(0, records.size() - Signature(fid).size());
            }
            bytes += records;
        }
        return bytes;
    };
    const auto countLine = [&](const std::string& line) {
        return std::count(Session.Log.begin(), Session.Log.end(), line);
    };

    for (const std::uint16_t fid : {std::uint16_t{0x0502}, std::uint16_t{0x0503}}) {
        const std::string expected = upToSignatureOf(fid);
        {
            TFileSizeLimit limit(expected.size());
            Click();
        }
        // Kept under a name of its own, never as the shared working file.
        const std::string kept = Scratch.Path.string() + "/tmp_nepotpuno.ddd";
        EXPECT_EQ(ReadWholeFile(kept), expected) << std::hex << fid;
        EXPECT_FALSE(std::filesystem::exists(Session.FOutputPath));
        std::filesystem::remove(kept);
        EXPECT_EQ(Session.Errors.back(), "I/O error " + std::to_string(EFBIG));
        EXPECT_TRUE(Session.Messages.empty());
        EXPECT_EQ(Session.Log.back(),
                  NotSavedLine(Session.FOutputPath, "I/O error " + std::to_string(EFBIG)));
        ExpectDisconnected();
        ExpectRestored();
        Card->Reset();
        // EF Faults_Data logs its closing lines before its signature record is
        // written, EF Events_Data after it.
        if (fid == 0x0502) {
            EXPECT_EQ(countLine("EF events data all:"), 0);
            continue;
        }
        EXPECT_EQ(countLine("EF events data all:"), 1);
        ASSERT_GE(Session.Log.size(), 7u);
        EXPECT_EQ(Session.Log[Session.Log.size() - 7], "EF faults data all:");
        EXPECT_EQ(Session.Log[Session.Log.size() - 6],
                  Printable(FileOf(Image, ef::FaultsData).substr(0, 24 * 48)));
        EXPECT_EQ(Session.Log[Session.Log.size() - 5], "EF Faults_Data ComputeDigitalSignature OK");
        EXPECT_EQ(Session.Log[Session.Log.size() - 3], "What was read is kept as " + kept);
    }
}

namespace {

// Makes `file` impossible to create or write for this process: a read-only
// folder for an ordinary user, the immutable flag for root (who passes
// permission bits). Undone on destruction.
class TWriteBarrier {
public:
    explicit TWriteBarrier(const std::filesystem::path& file) : Folder(file.parent_path()) {
        WriteWholeFile(file, kPreviousFile);
        ::chmod(Folder.c_str(), 0555);
        if (::access(Folder.c_str(), W_OK) != 0) {
            Kind = "read-only folder";
            return;
        }
        ::chmod(Folder.c_str(), 0700);
        Handle = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        if (Handle >= 0 && ::ioctl(Handle, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            if (::ioctl(Handle, FS_IOC_SETFLAGS, &flags) == 0) {
                Kind = "immutable file";
            }
        }
    }
    ~TWriteBarrier() {
        ::chmod(Folder.c_str(), 0700);
        if (Handle >= 0) {
            int flags = 0;
            if (::ioctl(Handle, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ::ioctl(Handle, FS_IOC_SETFLAGS, &flags);
            }
            ::close(Handle);
        }
    }
    TWriteBarrier(const TWriteBarrier&) = delete;
    TWriteBarrier& operator=(const TWriteBarrier&) = delete;

    std::string Kind; // empty when neither could be set up

private:
    std::filesystem::path Folder;
    int Handle = -1;
};

} // namespace

TEST_F(BitBtn1ClickTest, ARefusedFileIsReportedAsAccessDenied) {
    InsertDriverCard();
    const std::filesystem::path output = Session.FOutputPath;
    TWriteBarrier barrier(output);
    if (barrier.Kind.empty()) {
        GTEST_SKIP() << "no way to refuse writes to " << output << " here";
    }
    Click();
    EXPECT_EQ(Session.Errors, std::vector<std::string>({"File access denied"})) << barrier.Kind;
    EXPECT_TRUE(Session.Messages.empty());
    EXPECT_EQ(OutputFile(), kPreviousFile);
    ExpectDisconnected();
    ExpectRestored();
}

// Another download still holding the shared file is neither waited for nor
// cut: this one writes its own file and then takes the name whole, and what
// the other has open stays the other's.
TEST_F(BitBtn1ClickTest, AFileAnotherWriterHoldsIsReplacedWholeAndTheirsLeftAlone) {
    InsertDriverCard();
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    const int other = ::open(Session.FOutputPath.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    Click();
    std::string theirs(kPreviousFile.size(), '\0');
    EXPECT_EQ(::pread(other, theirs.data(), theirs.size(), 0), static_cast<ssize_t>(theirs.size()));
    ::close(other);
    EXPECT_EQ(theirs, kPreviousFile);
    EXPECT_TRUE(Session.Errors.empty());
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    EXPECT_EQ(WorkingFileBeside(Session.FOutputPath), "");
    ExpectDisconnected();
    ExpectRestored();
}

TEST_F(BitBtn1ClickTest, TheFileIsTheOwnersAloneAndUnlockedAfterwards) {
    InsertDriverCard();
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    ::chmod(Session.FOutputPath.c_str(), 0666);
    Click();
    struct stat info {};
    ASSERT_EQ(::stat(Session.FOutputPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    const int other = ::open(Session.FOutputPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);

    std::filesystem::remove(Session.FOutputPath);
    Click();
    ASSERT_EQ(::stat(Session.FOutputPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(BitBtn1ClickTest, ALinkInTheFilesPlaceIsReplacedAndWhatItPointsToKept) {
    InsertDriverCard();
    const std::filesystem::path target = Scratch.Path / "elsewhere";
    WriteWholeFile(target, kPreviousFile);
    ::chmod(target.c_str(), 0644);
    std::filesystem::create_symlink(target, Session.FOutputPath);
    Click();
    EXPECT_TRUE(Session.Errors.empty());
    EXPECT_FALSE(std::filesystem::is_symlink(Session.FOutputPath));
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    EXPECT_EQ(ReadWholeFile(target), kPreviousFile);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    ExpectDisconnected();
}

// The shared file is replaced, never written in place: the new one is the
// downloading user's alone, whoever owned the one before.
TEST_F(BitBtn1ClickTest, AnotherUsersFileIsReplacedByOneOfOurOwn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the file to another user";
    }
    InsertDriverCard();
    constexpr uid_t kOwner = 61001;
    constexpr uid_t kWriter = 61002;
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    ASSERT_EQ(::chown(Session.FOutputPath.c_str(), kOwner, kOwner), 0);
    ASSERT_EQ(::chmod(Session.FOutputPath.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(Scratch.Path.c_str(), 0777), 0);
    // This thread's file accesses as a third user, whom only the file's mode
    // lets write; the watchers' threads are untouched.
    ::setfsuid(kWriter);
    ::setfsgid(kWriter);
    Click();
    ::setfsuid(0);
    ::setfsgid(0);
    EXPECT_TRUE(Session.Errors.empty()) << Session.Errors.front();
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    struct stat info {};
    ASSERT_EQ(::stat(Session.FOutputPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, kWriter);
}

#else
// Windows: the file is shared for reading only while it is written, and its
// errors carry Windows' codes.

TEST(FileErrorMessage, RefusedAccessHasItsTextEveryOtherErrorItsWindowsCode) {
    EXPECT_EQ(FileErrorMessage(ERROR_ACCESS_DENIED), "File access denied");
    EXPECT_EQ(FileErrorMessage(ERROR_WRITE_PROTECT), "File access denied");
    EXPECT_EQ(FileErrorMessage(ERROR_DISK_FULL), "I/O error 112");
    EXPECT_EQ(FileErrorMessage(ERROR_SHARING_VIOLATION), "I/O error 32");
}

namespace {

HANDLE OpenShared(const std::string& path, DWORD access, DWORD share) {
    return CreateFileW(platform::Utf8ToWide(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

TEST_F(BitBtn1ClickTest, AFolderInTheWayIsReportedAsAccessDenied) {
    InsertDriverCard();
    std::filesystem::create_directory(Session.FOutputPath);
    Click();
    EXPECT_EQ(Session.Errors, std::vector<std::string>({"File access denied"}));
    EXPECT_TRUE(fakepcsc::Calls("SCardTransmit").empty());
    ExpectDisconnected();
    ExpectRestored();
}

TEST_F(BitBtn1ClickTest, AFileAnotherWriterHoldsIsLeftAsItIs) {
    InsertDriverCard();
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    const HANDLE other = OpenShared(Session.FOutputPath, GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    Click();
    CloseHandle(other);
    // The download was written beside it, and its replacing refused: the
    // file stays as it was, and what was read is kept under its own name.
    EXPECT_EQ(Session.Errors.size(), 1u);
    EXPECT_EQ(OutputFile(), kPreviousFile);
    EXPECT_EQ(ReadWholeFile(Scratch.Path / "tmp_nepotpuno.ddd"), Join(CompleteDownload(Image)));
    ExpectDisconnected();
    ExpectRestored();
}

// While the card is read, others may read the file but not write it; once the
// download is over, anyone may.
TEST_F(BitBtn1ClickTest, WhileWrittenTheFileIsSharedForReadingOnly) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    Image = image;
    auto card = std::make_shared<cardsim::TDriverCard>(image);
    struct TSeen {
        bool Checked = false;
        bool Readable = false;
        bool Writable = true;
    };
    auto seen = std::make_shared<TSeen>();
    const std::string target = Session.FOutputPath;
    InsertCard([card, seen, target](const Bytes& apdu) {
        const std::string path = WorkingFileBeside(target);
        if (!seen->Checked && !path.empty()) {
            seen->Checked = true;
            const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
            const HANDLE reader = OpenShared(path, GENERIC_READ, all);
            seen->Readable = reader != INVALID_HANDLE_VALUE;
            CloseHandle(reader);
            const HANDLE writer = OpenShared(path, GENERIC_WRITE, all);
            seen->Writable = writer != INVALID_HANDLE_VALUE;
            CloseHandle(writer);
        }
        return card->Process(apdu);
    });
    Click();
    EXPECT_TRUE(seen->Checked);
    EXPECT_TRUE(seen->Readable);
    EXPECT_FALSE(seen->Writable);
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(image)));
    const HANDLE after = OpenShared(target, GENERIC_WRITE, 0);
    EXPECT_NE(after, INVALID_HANDLE_VALUE);
    CloseHandle(after);
}

// The wide-character file API: a folder name outside every ANSI code page.
TEST_F(BitBtn1ClickTest, AFolderNamedInAnyScriptTakesTheFile) {
    InsertDriverCard();
    const std::filesystem::path folder = Scratch.Path / std::filesystem::path(u8"Željko Δ");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::u8string name = (folder / "tmp.ddd").u8string();
    Session.FOutputPath.assign(name.begin(), name.end());
    Click();
    EXPECT_TRUE(Session.Errors.empty());
    std::ifstream in(folder / "tmp.ddd", std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(written, Join(CompleteDownload(Image)));
}
#endif

TEST_F(BitBtn1ClickTest, EveryRecordAndChunkIsOnDiskBeforeTheNextCommand) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    Image = image;
    auto card = std::make_shared<cardsim::TDriverCard>(image);
    // What the file on disk holds when each command reaches the card.
    auto onDisk = std::make_shared<std::vector<std::pair<Bytes, std::uintmax_t>>>();
    const std::string target = Session.FOutputPath;
    InsertCard([card, onDisk, target](const Bytes& apdu) {
        std::error_code error;
        const auto size = std::filesystem::file_size(WorkingFileBeside(target), error);
        onDisk->emplace_back(apdu, error ? 0 : size);
        return card->Process(apdu);
    });
    Click();
    const TSegments segments = CompleteDownload(image);
    std::uintmax_t before = 0;
    std::size_t checked = 0;
    for (const auto& [fid, bytes] : segments) {
        for (std::size_t i = 0; i < onDisk->size(); ++i) {
            if ((*onDisk)[i].first == SelectOf(fid)) {
                EXPECT_EQ((*onDisk)[i].second, before) << std::hex << fid;
                ++checked;
                // A sized file's chunks, after the card's hash: its header and
                // the chunks before each one.
                if (fid == 0x0502) {
                    for (std::size_t chunk = 1; chunk <= 7; ++chunk) {
                        EXPECT_EQ((*onDisk)[i + 1 + chunk].second, before + 5 + (chunk - 1) * 250);
                    }
                }
                // EF Card_Download is selected once more at the end, for the
                // card's last download date.
                break;
            }
        }
        before += bytes.size();
    }
    EXPECT_EQ(checked, segments.size());
}

// ------------------------------------------------ stored before the card is told

namespace {

const Bytes kProbeG2 = {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54};

bool HasLine(const std::vector<std::string>& log, const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
}

// The program's paths are UTF-8; std::filesystem's narrow strings are the ANSI
// code page on Windows, which holds no Ž.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::u8string(utf8.begin(), utf8.end());
}
std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

} // namespace

// The archive cannot take the download: the card keeps its last download
// date, and the download is kept beside the working file under a name that
// no other download takes.
TEST_F(BitBtn1ClickTest, AStoreThatFailsLeavesTheCardUntouchedAndKeepsTheDownloadApart) {
    InsertDriverCard();
    WriteWholeFile(Scratch.Path / "archive", "not a folder");
    Session.FArchiveFolder = (Scratch.Path / "archive").string();
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    Click();
    EXPECT_EQ(Card->FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
    EXPECT_FALSE(HasLine(Session.Log, "EF Card Download UpdateBinary OK"));
    const std::string kept = Session.FLastOutcome.Path;
    EXPECT_EQ(kept,
              Utf8(Scratch.Path / PathOf("tmp_" + Session.FLastIdentity.DownloadName + ".ddd")));
    EXPECT_EQ(ReadWholeFile(PathOf(kept)), Join(CompleteDownload(Image)));
    EXPECT_EQ(OutputFile(), kPreviousFile);
    ASSERT_EQ(Session.Messages.size(), 1u);
    EXPECT_NE(Session.Messages[0].find("Nije spremljeno u arhivu: "), std::string::npos);
}

// A stop asked once every file was read (here with the last command of the
// reading, the probe for a second application) keeps the download; the card
// then keeps its date, which is written only when nobody asked to stop.
TEST_F(BitBtn1ClickTest, AStopAfterEveryFileWasReadKeepsTheDownload) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    Image = image;
    Card = std::make_shared<cardsim::TDriverCard>(image);
    TTestSession* session = &Session;
    InsertCard([card = Card, session](const Bytes& apdu) {
        if (apdu == kProbeG2) {
            session->StopDownload();
        }
        return card->Process(apdu);
    });
    Click();
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(image)));
    EXPECT_EQ(Card->FileContents(ef::CardDownload), *image.Find(ef::CardDownload));
    EXPECT_TRUE(HasLine(Session.Log, "EF Card Download: the download was stopped; the card keeps "
                                     "its last download date"));
    EXPECT_EQ(Session.Log.back(), SavedLine(Session.FOutputPath, true));
    ExpectDisconnected();
    ExpectRestored();
}

// Whatever leaves a download not whole leaves the card's date as it was.
TEST_F(BitBtn1ClickTest, AnIncompleteDownloadLeavesTheCardsDownloadDateAsItWas) {
    InsertDriverCard();
    Card->FailCommand(SelectOf(0x0506), 0x6A82);
    Click();
    // A file short of a signed one is also not valid where a root key is found.
    EXPECT_EQ(Session.Log.back().rfind(SavedLine(Session.FOutputPath, false), 0), 0u)
        << Session.Log.back();
    EXPECT_EQ(Card->FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
    for (const Bytes& command : Commands()) {
        EXPECT_FALSE(command.size() >= 2 && command[1] == 0xD6) << "an UPDATE BINARY was sent";
    }
}

// --output FILE: only a whole driver card's download replaces FILE; what was
// read of another is kept beside it as <name>_nepotpuno.ddd.
TEST_F(BitBtn1ClickTest, AFileToPublishTakesOnlyAWholeDownload) {
    InsertDriverCard();
    Session.FPublishWholeOnly = true;
    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    Card->FailCommand(SelectOf(0x0506), 0x6A82);
    Click();
    EXPECT_EQ(OutputFile(), kPreviousFile);
    const std::string kept = (Scratch.Path / "tmp_nepotpuno.ddd").string();
    EXPECT_EQ(Session.FLastOutcome.Path, kept);
    const std::string partial = ReadWholeFile(kept);
    EXPECT_FALSE(partial.empty());
    EXPECT_LT(partial.size(), Join(CompleteDownload(Image)).size());

    fakepcsc::RemoveCard(kReaderName);
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
    InsertDriverCard();
    Click();
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    EXPECT_EQ(ReadWholeFile(kept), partial);
}

// The card is the download's alone from its first command to its last; a
// card that another program holds is said to be in use, and nothing is read.
TEST_F(BitBtn1ClickTest, TheCardIsHeldForTheWholeExchangeOrSaidToBeInUse) {
    InsertDriverCard();
    Click();
    std::vector<std::string> order;
    for (const fakepcsc::TCall& call : fakepcsc::Calls()) {
        if (order.empty() || order.back() != call.Function) {
            order.push_back(call.Function);
        }
    }
    const auto at = [&](const std::string& name) {
        return std::find(order.begin(), order.end(), name) - order.begin();
    };
    EXPECT_LT(at("SCardConnect"), at("SCardBeginTransaction"));
    EXPECT_LT(at("SCardBeginTransaction"), at("SCardTransmit"));
    EXPECT_LT(at("SCardEndTransaction"), at("SCardDisconnect"));
    EXPECT_EQ(order[static_cast<std::size_t>(at("SCardEndTransaction")) - 1], "SCardTransmit");
    EXPECT_EQ(fakepcsc::Calls("SCardBeginTransaction").size(), 1u);

    WriteWholeFile(Session.FOutputPath, kPreviousFile);
    fakepcsc::ForceResult("SCardBeginTransaction", 0x8010000Bu);
    Click();
    fakepcsc::ForceResult("SCardBeginTransaction", 0);
    EXPECT_EQ(Session.Errors.back(), kCardInUseCroatian);
    EXPECT_TRUE(fakepcsc::Calls("SCardTransmit").empty());
    EXPECT_EQ(OutputFile(), kPreviousFile);
    ExpectDisconnected();
    ExpectRestored();
}

#ifndef _WIN32
// A working file that a process no longer running left is removed; one of
// this process, or of a process that runs (here the system's first), stays.
TEST_F(BitBtn1ClickTest, StaleWorkingFilesAreRemovedAndRunningOnesKept) {
    const std::filesystem::path folder = Scratch.Path;
    pid_t ended = ::fork();
    if (ended == 0) {
        _exit(0);
    }
    ::waitpid(ended, nullptr, 0);
    const auto part = [&](long pid) {
        return folder / (".tmp.ddd." + std::to_string(pid) + "-1.part");
    };
    for (const long pid : {static_cast<long>(ended), static_cast<long>(::getpid()), 1L}) {
        WriteWholeFile(part(pid), "a working file");
    }
    WriteWholeFile(folder / ".other.ddd.1-1.part", "not beside tmp.ddd");
    RemoveStaleWorkingFiles(Session.FOutputPath);
    EXPECT_FALSE(std::filesystem::exists(part(ended)));
    EXPECT_TRUE(std::filesystem::exists(part(::getpid())));
    EXPECT_TRUE(std::filesystem::exists(part(1)));
    EXPECT_TRUE(std::filesystem::exists(folder / ".other.ddd.1-1.part"));
}
#endif

// ------------------------------------------------------------ card signatures

namespace {

const std::string kNotSigned = "\r\rDatoteka nije potpisana karticom!";

bool IsUpdate(const Bytes& command) {
    return command.size() >= 2 && command[0] == 0x00 && command[1] == 0xD6;
}

Bytes WithStatus(Bytes data) {
    data.push_back(0x90);
    data.push_back(0x00);
    return data;
}

std::uint32_t Be32(const Bytes& bytes) {
    return static_cast<std::uint32_t>(bytes.at(0) << 24 | bytes.at(1) << 16 | bytes.at(2) << 8 |
                                      bytes.at(3));
}

} // namespace

// Each refusal costs exactly its own file's signature, is logged in one line,
// and keeps the card's last download date as it was; the rest of the file is
// the card's signed download.
TEST_F(BitBtn1ClickTest, ACardRefusingTheHashOrTheSignatureLeavesThatFileUnsigned) {
    struct TCase {
        const char* What;
        std::uint8_t Cla, Ins;
        cardsim::TFileRef File;
        std::string Line;   // the refusal's log line
        std::string Record; // what the file's signature record becomes
    };
    const TCase cases[] = {
        {"hash of EF Places", 0x80, 0x2A, ef::Places,
         "EF Places PerformHash - status = 6985: not signed by the card", Signature(0x0506)},
        {"signature of EF Card_Download", 0x00, 0x2A, ef::CardDownload,
         "EF Card Download ComputeDigitalSignature - status = 6985  0: not signed by the card", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        Session.Messages.clear();
        InsertDriverCard();
        Card->FailInstruction(c.Cla, c.Ins, 0x6985, c.File);
        Click();
        TSegments expected = CompleteDownload(Image);
        const std::string data = FileOf(Image, c.File);
        Replace(expected, c.File.Fid, Contents(c.File.Fid, data) + c.Record);
        EXPECT_EQ(OutputFile(), Join(expected));
        EXPECT_EQ(std::count(Session.Log.begin(), Session.Log.end(), c.Line), 1);
        // No signature asked for after a refused hash: it would sign the
        // previous file's hash.
        const auto after = Commands();
        EXPECT_EQ(std::count(after.begin(), after.end(), Bytes{0x00, 0x2A, 0x9E, 0x9A, 0x80}),
                  c.Ins == 0x2A && c.Cla == 0x80 ? 11 : 12);
        EXPECT_TRUE(std::none_of(after.begin(), after.end(), IsUpdate));
        EXPECT_EQ(Card->FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
        ASSERT_EQ(Session.Messages.size(), 1u);
        EXPECT_TRUE(EndsWithProcessingTime(
            Session.Messages[0], "Kartica: D100000012345600\rVozac: Ž_ŠIMUNOVIĆ" + kNotSigned))
            << Session.Messages[0];
        EXPECT_TRUE(Session.FLastIdentity.Complete);
        ASSERT_GE(Session.Log.size(), 2u);
        const std::string& check = Session.Log[Session.Log.size() - 2];
        EXPECT_EQ(check.rfind("Signatures NOT valid: certificate chain valid; 11 of 12 "
                              "signatures valid, 1 ",
                              0),
                  0u)
            << check;
        EXPECT_EQ(Session.Log.back(), SavedLine(Session.FOutputPath, true) +
                                          ", not signed by the card, signatures not valid");
    }
    // The window's own language for the added line.
    Session.FCroatian = false;
    InsertDriverCard();
    Card->FailInstruction(0x80, 0x2A, 0x6A88);
    Session.Messages.clear();
    Click();
    ASSERT_EQ(Session.Messages.size(), 1u);
    EXPECT_NE(Session.Messages[0].find("\r\rThe file is not signed by the card!\r\r"),
              std::string::npos);
}

// A card or reader that knows nothing of signatures, or answers them with
// another length than 128 bytes, gets the file the download always wrote:
// blanks in the ten records, no record for Card_Download and current usage.
TEST_F(BitBtn1ClickTest, ACardWithoutSignaturesGetsTheBlanksOnlyFile) {
    const std::function<void(cardsim::TDriverCard&)> faults[] = {
        [](cardsim::TDriverCard& card) {
            card.FailInstruction(0x80, 0x2A, 0x6D00);
            card.FailInstruction(0x00, 0x2A, 0x6D00);
            card.FailInstruction(0x00, 0xD6, 0x6D00);
        },
        [](cardsim::TDriverCard& card) {
            card.AnswerCommand({0x00, 0x2A, 0x9E, 0x9A, 0x80}, WithStatus(Bytes(127, 0x11)));
        },
        [](cardsim::TDriverCard& card) {
            card.AnswerCommand({0x00, 0x2A, 0x9E, 0x9A, 0x80}, WithStatus(Bytes(129, 0x11)));
        },
    };
    for (const auto& fault : faults) {
        InsertDriverCard();
        fault(*Card);
        Click();
        EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image, nullptr)));
        const auto commands = Commands();
        EXPECT_TRUE(std::none_of(commands.begin(), commands.end(), IsUpdate));
        EXPECT_TRUE(Session.FLastIdentity.Complete);
        EXPECT_EQ(Session.FLastIdentity.NotSignedByCard, 12);
    }
}

// After a whole signed download the card holds the download time; the file
// keeps the date read before. A refusal is logged and changes nothing else,
// and a session told not to write to cards sends no update at all.
TEST_F(BitBtn1ClickTest, TheCardLearnsItsLastDownloadUnlessItRefusesOrMayNotBeWritten) {
    InsertDriverCard();
    const auto before = static_cast<std::uint32_t>(std::time(nullptr));
    Click();
    const auto after = static_cast<std::uint32_t>(std::time(nullptr));
    const std::uint32_t written = Be32(Card->FileContents(ef::CardDownload));
    EXPECT_GE(written, before);
    EXPECT_LE(written, after);
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    EXPECT_EQ(
        std::count(Session.Log.begin(), Session.Log.end(), "EF Card Download UpdateBinary OK"), 1);

    InsertDriverCard();
    Card->FailInstruction(0x00, 0xD6, 0x6581);
    Session.Messages.clear();
    Click();
    EXPECT_EQ(Card->FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
    EXPECT_EQ(std::count(Session.Log.begin(), Session.Log.end(),
                         "EF Card Download UpdateBinary - status = 6581: the card keeps its last "
                         "download date"),
              1);
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    ASSERT_EQ(Session.Messages.size(), 1u);
    EXPECT_TRUE(EndsWithProcessingTime(Session.Messages[0],
                                       "Kartica: D100000012345600\rVozac: Ž_ŠIMUNOVIĆ"));

    InsertDriverCard();
    Session.FUpdateCardDownload = false;
    Click();
    const auto commands = Commands();
    EXPECT_TRUE(std::none_of(commands.begin(), commands.end(), IsUpdate));
    EXPECT_EQ(Card->FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
}
