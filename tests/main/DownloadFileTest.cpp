// The file steps of a download, ReadCardFiles, against the simulated driver
// card: the card download file byte for byte, the commands the card gets, the
// download name and the log lines.
#include "DownloadTestCard.h"

#include "cardfile/CardFile.h"
#include "cardsim/DownloadFile.h"

using namespace downloadtest;
namespace ef = cardsim::ef;

namespace {

class ReadCardFilesTest : public TDriverCardTest {
protected:
    // Connects, reads the card's files and disconnects; the calls recorded
    // are the download's own.
    TCardIdentity Download() {
        EXPECT_EQ(Session.ConnectCard(*Reader, false), pcsc::kSuccess);
        fakepcsc::ClearCalls();
        Session.Log.clear();
        Before = LocalNow();
        TCardIdentity identity = Session.ReadCardFiles(*Reader);
        After = LocalNow();
        Session.DisconnectCard(*Reader);
        return identity;
    }
    // The download name is stamped with the minute of the download.
    void ExpectDownloadName(const std::string& middle) {
        const std::string first = "C_" + Stamp(Before) + "_" + middle;
        const std::string second = "C_" + Stamp(After) + "_" + middle;
        EXPECT_TRUE(Session.DownloadName == first || Session.DownloadName == second)
            << Session.DownloadName << " is neither " << first << " nor " << second;
    }
    bool Logged(const std::string& line) const {
        return std::find(Session.Log.begin(), Session.Log.end(), line) != Session.Log.end();
    }

    std::tm Before{}, After{};
};

Bytes ReadBinary(std::size_t offset, std::size_t length) {
    return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8),
            static_cast<std::uint8_t>(offset & 0xFF), static_cast<std::uint8_t>(length)};
}

} // namespace

// ------------------------------------------------------------ a whole card

TEST_F(ReadCardFilesTest, TheSampleCardGivesEveryRecordInTheDownloadOrder) {
    InsertDriverCard();
    const TCardIdentity identity = Download();
    const std::string file = OutputFile();
    EXPECT_EQ(file, Join(CompleteDownload(Image)));

    // The record heads the layout names for a full card, and where they lie.
    EXPECT_EQ(file.substr(0, 5), std::string("\x00\x02\x00\x00\x19", 5));
    EXPECT_EQ(file.substr(30, 5), std::string("\x00\x05\x00\x00\x08", 5));
    EXPECT_EQ(file.substr(43, 5), std::string("\x05\x01\x00\x00\x0A", 5));
    EXPECT_EQ(file.substr(58, 5), std::string("\x05\x01\x01\x00\x80", 5));
    EXPECT_NE(file.find(std::string("\x05\x22\x00\x01\x18", 5)), std::string::npos);
    EXPECT_NE(file.find(std::string("\x05\x02\x00\x06\xC0", 5)), std::string::npos);
    // 24 faults of each of two types, 200 vehicles, 112 places, 13776 + 4 bytes of activities.
    EXPECT_NE(file.find(std::string("\x05\x03\x00\x04\x80", 5)), std::string::npos);
    EXPECT_NE(file.find(std::string("\x05\x05\x00\x18\x3A", 5)), std::string::npos);
    EXPECT_NE(file.find(std::string("\x05\x06\x00\x04\x61", 5)), std::string::npos);
    EXPECT_NE(file.find(std::string("\x05\x04\x00\x35\xD4", 5)), std::string::npos);

    // A file that holds every file of the card: the card read back from it is the card.
    const auto replayed = cardsim::ImageFromDownload(AsBytes(file));
    ASSERT_TRUE(replayed.has_value());
    EXPECT_EQ(replayed->Files(), Image.Files());

    EXPECT_EQ(identity.CardNumber, "D100000012345600");
    EXPECT_EQ(identity.Driver, "\xAE_\xA9IMUNOVI\xC6");
    EXPECT_EQ(identity.DriverDisplay, "Ž_ŠIMUNOVIĆ");
    ExpectDownloadName("Ž_ŠIMUNOVIĆ_D100000012345600");
    EXPECT_EQ(Session.Log, CompleteDownloadLog(Image));
}

TEST_F(ReadCardFilesTest, TheNamesAreDecodedByTheirOwnCodePageBytes) {
    cardsim::TCardOptions options;
    options.NameCodePage = 0x01; // Latin-1
    options.Surname = "M\xDCLLER";
    options.FirstNames = "\xC9milie";
    options.CardNumber = "HR00000000000042";
    InsertDriverCard(options);
    const TCardIdentity identity = Download();
    EXPECT_EQ(identity.Driver, "\xC9_M\xDCLLER");
    EXPECT_EQ(identity.DriverDisplay, "É_MÜLLER");
    ExpectDownloadName("É_MÜLLER_HR00000000000042");
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
}

TEST_F(ReadCardFilesTest, ASurnameLosesTheBlanksAndControlBytesAtItsEndsOnly) {
    cardsim::TCardOptions options;
    options.NameCodePage = 0x01;
    options.Surname = "DRIVER";
    options.FirstNames = "Ann";
    InsertDriverCard(options);
    EXPECT_EQ(Download().Driver, "A_DRIVER");

    cardsim::TCardImage image = cardsim::BuildDriverCard(options);
    Bytes id = *image.Find(ef::Identification);
    const std::string inner = "\x01  VAN DER\tBERG\x1F";
    std::copy(inner.begin(), inner.end(), id.begin() + 65);
    image.Set(ef::Identification, id);
    fakepcsc::RemoveCard(kReaderName);
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
    InsertImage(image);
    EXPECT_EQ(Download().Driver, "A_VAN DER\tBERG");
}

// A session whose log nobody reads skips the lines of every response: the
// file, the card's commands and the identity must not notice, also when a
// chunk fails and the file is cut.
TEST_F(ReadCardFilesTest, ASessionWithoutLogReaderWritesTheSameFileAndCommands) {
    InsertDriverCard();
    Card->FailRead(ef::EventsData, 500, 0x6581);
    const TCardIdentity logged = Download();
    const std::string loggedFile = OutputFile();
    const std::vector<Bytes> loggedCommands = Commands();
    const std::vector<std::string> loggedLines = Session.Log;

    // The same card afresh, its application not selected.
    fakepcsc::RemoveCard(kReaderName);
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
    InsertImage(Image);
    Card->FailRead(ef::EventsData, 500, 0x6581);
    Session.LogRead = false;
    const TCardIdentity quiet = Download();
    EXPECT_TRUE(OutputFile() == loggedFile) << "the files differ";
    EXPECT_EQ(Commands(), loggedCommands);
    EXPECT_EQ(quiet.CardNumber, logged.CardNumber);
    EXPECT_FALSE(quiet.Complete);
    EXPECT_EQ(quiet.NotSignedByCard, logged.NotSignedByCard);
    // Without a response's hex or the chunks' lines.
    EXPECT_LT(Session.Log.size() * 4, loggedLines.size());
    EXPECT_TRUE(Session.FResponseHex.empty());
}

// ------------------------------------------------------------ sized files

TEST_F(ReadCardFilesTest, SpecificConditionsAreReadInTwoChunks) {
    InsertDriverCard();
    Download();
    EXPECT_EQ(CommandsAfter(SelectOf(0x0522)),
              std::vector<Bytes>({{0x00, 0xB0, 0x00, 0x00, 0xFA}, {0x00, 0xB0, 0x00, 0xFA, 0x1E}}));
    const std::string expected = std::string("\x05\x22\x00\x01\x18", 5) +
                                 FileOf(Image, ef::SpecificConditions) +
                                 SignatureRecord(Image, ef::SpecificConditions);
    EXPECT_EQ(expected.size(), 5u + 280 + 5 + 128);
    EXPECT_NE(OutputFile().find(expected), std::string::npos);
    EXPECT_TRUE(Logged("EF spec cond 0 - status = 9000  250"));
    EXPECT_TRUE(Logged("EF spec cond 250 ReadBinary OK"));
}

TEST_F(ReadCardFilesTest, TwelveEventsPerTypeAreSixFullChunksAndOneOf228) {
    InsertDriverCard(); // 12 events per type
    Download();
    std::vector<Bytes> expected;
    for (std::size_t offset = 0; offset < 1500; offset += 250) {
        expected.push_back(ReadBinary(offset, 250));
    }
    expected.push_back({0x00, 0xB0, 0x05, 0xDC, 0xE4});
    EXPECT_EQ(CommandsAfter(SelectOf(0x0502)), expected);
    EXPECT_NE(OutputFile().find(std::string("\x05\x02\x00\x06\xC0", 5) +
                                FileOf(Image, ef::EventsData).substr(0, 1728) +
                                std::string("\x05\x02\x01\x00\x80", 5)),
              std::string::npos);
    EXPECT_TRUE(Logged("EF events data 1500 - status = 9000  228"));
}

TEST_F(ReadCardFilesTest, ASizeThatIsAMultipleOf250EndsAfterItsLastFullChunk) {
    cardsim::TCardOptions options;
    options.ActivityStructureLength = 496; // 500 bytes
    options.VehicleRecords = 8;            // 250 bytes
    InsertDriverCard(options);
    Download();
    EXPECT_EQ(CommandsAfter(SelectOf(0x0504)),
              std::vector<Bytes>({ReadBinary(0, 250), ReadBinary(250, 250)}));
    EXPECT_EQ(CommandsAfter(SelectOf(0x0505)), std::vector<Bytes>({ReadBinary(0, 250)}));
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
}

TEST_F(ReadCardFilesTest, SizeZeroGivesAnEmptyRecordAndItsSignatureWithoutARead) {
    cardsim::TCardOptions options;
    options.EventsPerType = 0;
    options.FaultsPerType = 0;
    InsertDriverCard(options);
    Download();
    EXPECT_TRUE(CommandsAfter(SelectOf(0x0502)).empty());
    EXPECT_TRUE(CommandsAfter(SelectOf(0x0503)).empty());
    EXPECT_NE(OutputFile().find(
                  std::string("\x05\x02\x00\x00\x00", 5) + SignatureRecord(Image, ef::EventsData) +
                  std::string("\x05\x03\x00\x00\x00", 5) + SignatureRecord(Image, ef::FaultsData)),
              std::string::npos);
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    EXPECT_TRUE(Logged("EF events data all:"));
}

TEST_F(ReadCardFilesTest, AChunkFailingAtOffset500EndsTheFileAfter500Bytes) {
    InsertDriverCard();
    Card->FailRead(ef::EventsData, 500, 0x6581);
    Download();
    TSegments expected = CompleteDownload(Image);
    Replace(expected, 0x0502,
            std::string("\x05\x02\x00\x01\xF4", 5) + FileOf(Image, ef::EventsData).substr(0, 500) +
                Signature(0x0502));
    EXPECT_EQ(OutputFile(), Join(expected));
    EXPECT_EQ(CommandsAfter(SelectOf(0x0502)),
              std::vector<Bytes>({ReadBinary(0, 250), ReadBinary(250, 250), ReadBinary(500, 250)}));
    // The header frames the 500 bytes written: a reader finds the signature
    // record and every record after it where they are.
    const std::string file = OutputFile();
    const auto records = cardfile::ReadRecords(AsBytes(file), nullptr);
    ASSERT_TRUE(records.has_value());
    const auto events = std::find_if(records->begin(), records->end(), [](const auto& record) {
        return record.Fid == 0x0502 && record.Type == 0x00;
    });
    ASSERT_NE(events, records->end());
    EXPECT_EQ(events->Data.size(), 500u);
    ASSERT_NE(events + 1, records->end());
    EXPECT_EQ((events + 1)->Fid, 0x0502);
    EXPECT_EQ((events + 1)->Type, 0x01);
    EXPECT_TRUE(Logged("EF events data 500 - status = 6581  250"));
    EXPECT_FALSE(Logged("EF events data 500 ReadBinary OK"));
}

TEST_F(ReadCardFilesTest, AChunkAnsweredShortEndsItsFileLikeAFailedOne) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    Image = image;
    auto card = std::make_shared<cardsim::TDriverCard>(image);
    // A card that answers EF Specific_Conditions' first chunk with 200 bytes and 9000.
    auto selected = std::make_shared<Bytes>();
    InsertCard([card, selected](const Bytes& apdu) {
        Bytes answer = card->Process(apdu);
        if (apdu.size() > 1 && apdu[1] == 0xA4) {
            *selected = apdu;
        } else if (*selected == SelectOf(0x0522) && apdu == ReadBinary(0, 250)) {
            answer.erase(answer.begin() + 200, answer.end() - 2);
        }
        return answer;
    });
    Download();
    // Reading on would put the next chunk's bytes where the missing 50 belong.
    EXPECT_EQ(CommandsAfter(SelectOf(0x0522)), std::vector<Bytes>({ReadBinary(0, 250)}));
    const std::string conditions = FileOf(image, ef::SpecificConditions);
    TSegments expected = CompleteDownload(image);
    Replace(expected, 0x0522,
            Header(0x0522, 0, 200) + conditions.substr(0, 200) + Signature(0x0522));
    EXPECT_TRUE(OutputFile() == Join(expected)) << "the file differs from the expected one";
}

// ------------------------------------------------------------ what is missing

TEST_F(ReadCardFilesTest, WithoutApplicationIdentificationTheCountsAreZero) {
    InsertDriverCard();
    Card->SetUnreadable(ef::ApplicationIdentification);
    Download();
    TSegments expected = CompleteDownload(Image);
    // Each file read as far as its size of zero counts gets the card's
    // signature of the whole file, which a checker will call invalid.
    Replace(expected, 0x0501, "");
    Replace(expected, 0x0502, Header(0x0502, 0, 0) + SignatureRecord(Image, ef::EventsData));
    Replace(expected, 0x0503, Header(0x0503, 0, 0) + SignatureRecord(Image, ef::FaultsData));
    Replace(expected, 0x0505,
            Header(0x0505, 0, 2) + FileOf(Image, ef::VehiclesUsed).substr(0, 2) +
                SignatureRecord(Image, ef::VehiclesUsed));
    Replace(expected, 0x0506,
            Header(0x0506, 0, 1) + FileOf(Image, ef::Places).substr(0, 1) +
                SignatureRecord(Image, ef::Places));
    Replace(expected, 0x0504,
            Header(0x0504, 0, 4) + FileOf(Image, ef::DriverActivityData).substr(0, 4) +
                SignatureRecord(Image, ef::DriverActivityData));
    EXPECT_EQ(OutputFile(), Join(expected));
    EXPECT_EQ(CommandsAfter(SelectOf(0x0505)), std::vector<Bytes>({ReadBinary(0, 2)}));
    EXPECT_FALSE(Logged("EF App ID ReadBinary OK"));
}

TEST_F(ReadCardFilesTest, WithoutIdentificationTheNameHasTwoEmptyParts) {
    InsertDriverCard();
    Card->SetUnreadable(ef::Identification);
    const TCardIdentity identity = Download();
    EXPECT_EQ(identity.CardNumber, "");
    EXPECT_EQ(identity.Driver, "");
    ExpectDownloadName("_");
    EXPECT_EQ(Session.DownloadName.substr(Session.DownloadName.size() - 2), "__");
    TSegments expected = CompleteDownload(Image);
    Replace(expected, 0x0520, "");
    EXPECT_EQ(OutputFile(), Join(expected));
}

TEST_F(ReadCardFilesTest, AnIccAnsweringOnlyAnErrorStillGetsAnEmptyRecord) {
    InsertDriverCard();
    Card->SetUnreadable(ef::Icc);
    Download();
    TSegments expected = CompleteDownload(Image);
    Replace(expected, 0x0002, std::string("\x00\x02\x00\x00\x00", 5));
    EXPECT_EQ(OutputFile(), Join(expected));
    EXPECT_FALSE(Logged("EF ICC ReadBinary OK"));
    // Any other fixed-size file that cannot be read leaves no trace.
    EXPECT_EQ(OutputFile().substr(5, 5), std::string("\x00\x05\x00\x00\x08", 5));
}

TEST_F(ReadCardFilesTest, AFixedSizeFileThatCannotBeSelectedIsSkipped) {
    InsertDriverCard();
    cardsim::TCardImage image = Image;
    image.Remove(ef::CardDownload);
    image.Remove(ef::Ic);
    fakepcsc::RemoveCard(kReaderName);
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
    InsertImage(image);
    Download();
    TSegments expected = CompleteDownload(cardsim::BuildDriverCard());
    Replace(expected, 0x050E, "");
    Replace(expected, 0x0005, "");
    EXPECT_EQ(OutputFile(), Join(expected));
}

TEST_F(ReadCardFilesTest, WhenTheApplicationCannotBeSelectedOnlyRowsOneAndTwoAreWritten) {
    InsertDriverCard();
    // The card stops answering right after EF IC was read: the exchange of
    // the application's SELECT itself fails.
    const auto card = Card;
    fakepcsc::RemoveCard(kReaderName);
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
    fakepcsc::InsertCard(kReaderName, kAtrT1, fakepcsc::TProtocol::T1, [card](const Bytes& apdu) {
        if (apdu == Bytes({0x00, 0xB0, 0x00, 0x00, 0x08})) {
            fakepcsc::ForceResult("SCardTransmit", SCARD_E_NOT_TRANSACTED);
        }
        return card->Process(apdu);
    });
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csAvailable; }));
    Card->Reset();
    Download();
    fakepcsc::ForceResult("SCardTransmit", 0);
    EXPECT_EQ(OutputFile(),
              Contents(0x0002, FileOf(Image, ef::Icc)) + Contents(0x0005, FileOf(Image, ef::Ic)));
    const auto commands = Commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands.back(), kSelectTachograph);
    EXPECT_EQ(Session.DownloadName, "");
    ASSERT_EQ(Session.Log.size(), 3u + 3u + 2u);
    EXPECT_EQ(Session.Log[6], "SCardTransmit failed with error code 80100016 ");
    EXPECT_EQ(Session.Log[7], "(SCARD_E_NOT_TRANSACTED).");
}

// Many cards keep the file selected before a SELECT they refuse; the simulated
// card does not, so these answers are the card's, with its current file kept.
class RefusedSelectTest : public ReadCardFilesTest {
protected:
    // `refused` SELECTs are answered 6A82 without reaching the card.
    void InsertRefusing(std::vector<Bytes> refused) {
        const cardsim::TCardImage image = cardsim::BuildDriverCard();
        Image = image;
        auto card = std::make_shared<cardsim::TDriverCard>(image);
        InsertCard([card, refused](const Bytes& apdu) {
            if (std::find(refused.begin(), refused.end(), apdu) != refused.end()) {
                return Bytes{0x6A, 0x82};
            }
            return card->Process(apdu);
        });
    }
};

TEST_F(RefusedSelectTest, ACardWithoutTheApplicationGivesOnlyRowsOneAndTwo) {
    // Every SELECT after the application's is refused too, and each read would
    // read EF IC again.
    std::vector<Bytes> refused = {kSelectTachograph};
    for (const auto fid : {0x0501, 0xC100, 0xC108, 0x0520, 0x050E, 0x0521, 0x0507, 0x0508, 0x0522,
                           0x0502, 0x0503, 0x0505, 0x0506, 0x0504}) {
        refused.push_back(SelectOf(static_cast<std::uint16_t>(fid)));
    }
    InsertRefusing(refused);
    const TCardIdentity identity = Download();
    EXPECT_EQ(OutputFile(),
              Contents(0x0002, FileOf(Image, ef::Icc)) + Contents(0x0005, FileOf(Image, ef::Ic)));
    const auto commands = Commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands.back(), kSelectTachograph);
    EXPECT_EQ(Session.DownloadName, "");
    EXPECT_EQ(identity.CardNumber, "");
    EXPECT_FALSE(identity.Complete);
}

TEST_F(RefusedSelectTest, ARefusedFileIsSkippedRatherThanFilledWithTheFileBeforeIt) {
    InsertRefusing({SelectOf(0x0002), SelectOf(0x050E), SelectOf(0x0522)});
    const TCardIdentity identity = Download();
    TSegments expected = CompleteDownload(Image);
    // Not even EF ICC's empty record: its SELECT did not take place on the card.
    Replace(expected, 0x0002, "");
    Replace(expected, 0x050E, "");
    Replace(expected, 0x0522, "");
    EXPECT_EQ(OutputFile(), Join(expected));
    EXPECT_TRUE(CommandsAfter(SelectOf(0x0522)).empty());
    EXPECT_FALSE(identity.Complete);
    EXPECT_EQ(identity.CardNumber, FileOf(Image, ef::Identification).substr(1, 16));
}

TEST_F(ReadCardFilesTest, AFixedSizeFileAnsweredShortIsNotWhole) {
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    Image = image;
    auto card = std::make_shared<cardsim::TDriverCard>(image);
    // EF Driving_Licence_Info answered with 50 of its 53 bytes and 9000.
    InsertCard([card](const Bytes& apdu) {
        Bytes answer = card->Process(apdu);
        if (apdu == Bytes({0x00, 0xB0, 0x00, 0x00, 0x35})) {
            answer.erase(answer.end() - 5, answer.end() - 2);
        }
        return answer;
    });
    const TCardIdentity identity = Download();
    EXPECT_FALSE(identity.Complete);
    // The record keeps what came, framed by its own length.
    TSegments expected = CompleteDownload(image);
    Replace(expected, 0x0521,
            Contents(0x0521, FileOf(image, ef::DrivingLicenceInfo).substr(0, 50)) +
                Signature(0x0521));
    EXPECT_EQ(OutputFile(), Join(expected));
}

// ------------------------------------------------------------ addressability

TEST_F(ReadCardFilesTest, SizesBeyondReadBinaryAreReadAsFarAsItReaches) {
    cardsim::TCardOptions options;
    options.VehicleRecords = 2000;           // 62002 bytes: fits a header, not the offsets
    options.ActivityStructureLength = 65535; // 65539 bytes: past any header, never cut to 0003
    InsertDriverCard(options);
    Download();

    const std::string vehicles = FileOf(Image, ef::VehiclesUsed);
    const std::string activities = FileOf(Image, ef::DriverActivityData);
    ASSERT_EQ(vehicles.size(), 62002u);
    ASSERT_EQ(activities.size(), 65539u);
    TSegments expected = CompleteDownload(Image);
    Replace(expected, 0x0505,
            std::string("\x05\x05\x00\x80\x00", 5) + vehicles.substr(0, 0x8000) +
                Signature(0x0505));
    Replace(expected, 0x0504,
            std::string("\x05\x04\x00\x80\x00", 5) + activities.substr(0, 0x8000) +
                Signature(0x0504));
    EXPECT_EQ(OutputFile(), Join(expected));

    // No offset ever has P1's top bit set; the last chunk ends at 0x7FFF.
    const auto reads = CommandsAfter(SelectOf(0x0505));
    ASSERT_EQ(reads.size(), 132u);
    for (const Bytes& read : reads) {
        ASSERT_LT(read[2], 0x80);
    }
    EXPECT_EQ(reads.back(), ReadBinary(32750, 18));
    // Capped at what a record frames and READ BINARY reaches, not its low 16 bits.
    const auto activityReads = CommandsAfter(SelectOf(0x0504));
    ASSERT_EQ(activityReads.size(), 132u);
    EXPECT_EQ(activityReads.back(), ReadBinary(32750, 18));

    EXPECT_TRUE(
        Logged("EF Vehicles_Used: size 62002 exceeds what READ BINARY can address; reading 32768 "
               "bytes"));
    EXPECT_TRUE(Logged(
        "EF Driver_Activity_Data: size 65539 exceeds the record's 16-bit length; reading 32768 "
        "bytes"));
}

TEST_F(ReadCardFilesTest, TheLargestAddressableSizeIsReadWhole) {
    cardsim::TCardOptions options;
    options.ActivityStructureLength = 0x8000 - 4;
    InsertDriverCard(options);
    Download();
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
    for (const std::string& line : Session.Log) {
        ASSERT_EQ(line.find("exceeds"), std::string::npos) << line;
    }
}
