// Second-generation cards: the download of both applications against the
// simulated card, its faults, and the check of the second part's signatures.
#include "DownloadTestCard.h"

#include "carddata/CardData.h"
#include "cardfile/CardFile.h"
#include "cardfile/RootKeyFile.h"
#include "cardsim/TestPki.h"
#include "main/DownloadTimeLeft.h"

using namespace downloadtest;
namespace ef = cardsim::ef;
using cardsim::G2;

namespace {

const Bytes kProbe = {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54};

class Gen2DownloadTest : public TDriverCardTest {
protected:
    TCardIdentity Download() {
        EXPECT_EQ(Session.ConnectCard(*Reader, false), pcsc::kSuccess);
        fakepcsc::ClearCalls();
        const TCardIdentity identity = Session.ReadCardFiles(*Reader);
        Session.DisconnectCard(*Reader);
        return identity;
    }
    std::vector<cardfile::TRecord> Records() {
        const auto records = cardfile::ReadRecords(AsBytes(OutputFile()), nullptr);
        EXPECT_TRUE(records.has_value());
        return records ? *records : std::vector<cardfile::TRecord>{};
    }
    cardfile::TReport Check(const std::string& file) {
        const auto root = cardfile::ReadRootKey(cardsim::TestPki().RootKeyFile, nullptr);
        const Bytes rootG2 = cardsim::TestPkiG2().RootCertificate;
        return cardfile::Verify(AsBytes(file), &*root, &rootG2);
    }
    static std::vector<std::uint16_t> FidsOf(const std::vector<cardfile::TRecord>& records,
                                             std::uint8_t type) {
        std::vector<std::uint16_t> fids;
        for (const auto& record : records) {
            if (record.Type == type) {
                fids.push_back(record.Fid);
            }
        }
        return fids;
    }
};

cardsim::TCardOptions Gen2(int version, bool p384 = false) {
    cardsim::TCardOptions options;
    options.Gen2Version = version;
    options.Gen2OnP384 = p384;
    return options;
}

} // namespace

// The first part is the first-generation file byte for byte; the second holds
// every G2 file in the plan's order, each signed one followed by its 64-byte
// signature, Card_Download unsigned; the date goes into both applications.
TEST_F(Gen2DownloadTest, AVersion2CardGivesBothPartsSignedAndChecked) {
    InsertDriverCard(Gen2(2));
    const TCardIdentity identity = Download();
    EXPECT_EQ(identity.Generation, 2);
    EXPECT_TRUE(identity.Complete);
    EXPECT_EQ(identity.NotSignedByCard, 0);

    const std::string file = OutputFile();
    const std::string first = Join(CompleteDownload(Image));
    ASSERT_GE(file.size(), first.size());
    EXPECT_TRUE(file.compare(0, first.size(), first) == 0) << "the first part differs";

    const auto records = Records();
    EXPECT_EQ(
        FidsOf(records, 0x02),
        std::vector<std::uint16_t>({0xC101, 0xC108, 0xC109, 0x0501, 0x0525, 0x0520, 0x050E, 0x0521,
                                    0x0502, 0x0503, 0x0504, 0x0505, 0x0506, 0x0507, 0x0508, 0x0522,
                                    0x0523, 0x0524, 0x0526, 0x0527, 0x0528, 0x0529, 0x0530}));
    for (const auto& record : records) {
        if (record.Type == 0x02) {
            const auto* contents = Image.Find(G2(record.Fid));
            ASSERT_NE(contents, nullptr);
            EXPECT_EQ(record.Data, *contents) << std::hex << record.Fid;
        }
        if (record.Type == 0x03) {
            EXPECT_EQ(record.Data.size(), 64u);
        }
    }
    EXPECT_EQ(FidsOf(records, 0x03).size(), 19u);
    // The second generation's download does not sign Card_Download.
    const auto download = std::find_if(records.begin(), records.end(), [](const auto& r) {
        return r.Fid == 0x050E && r.Type == 0x02;
    });
    ASSERT_NE(download + 1, records.end());
    EXPECT_NE((download + 1)->Type, 0x03);

    const cardfile::TReport report = Check(file);
    EXPECT_TRUE(report.AllValid()) << report.Summary();
    EXPECT_EQ(report.BlocksG2.size(), 19u);
    // What the download wrote decodes whole, from its second part.
    const carddata::TCardData decoded = carddata::Decode(AsBytes(file));
    EXPECT_TRUE(decoded.Errors.empty()) << decoded.Errors.front();
    EXPECT_EQ(decoded.Generation, 2);
    EXPECT_EQ(decoded.Days.size(), 28u);
    EXPECT_FALSE(decoded.BorderCrossings.empty());

    EXPECT_NE(Card->FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
    EXPECT_EQ(Card->FileContents(G2(0x050E)), Card->FileContents(ef::CardDownload));
}

// A P-384 card: 96-byte signatures, which the check takes by the curve of the
// card's certificate; a version-1 card has no version-2 file asked for.
// The certificates' and the G2 files' lines are skipped without a log
// reader; both parts of the file stay byte for byte.
TEST_F(Gen2DownloadTest, WithoutLogReaderBothPartsAreTheSame) {
    InsertDriverCard(Gen2(2));
    // Unchanged between the two: the card's last download date is in the file.
    Session.FUpdateCardDownload = false;
    Download();
    const std::string logged = OutputFile();
    fakepcsc::RemoveCard(kReaderName);
    ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
    InsertImage(Image);
    Session.LogRead = false;
    const TCardIdentity quiet = Download();
    EXPECT_EQ(quiet.Generation, 2);
    EXPECT_TRUE(quiet.Complete);
    EXPECT_EQ(quiet.NotSignedByCard, 0);
    EXPECT_TRUE(OutputFile() == logged) << "the files differ";
}

TEST_F(Gen2DownloadTest, AVersion1CardOnP384SignsWith96Bytes) {
    InsertDriverCard(Gen2(1, true));
    const TCardIdentity identity = Download();
    EXPECT_EQ(identity.Generation, 2);
    const auto records = Records();
    for (const auto& record : records) {
        if (record.Type == 0x03) {
            EXPECT_EQ(record.Data.size(), 96u);
        }
        EXPECT_FALSE(record.Fid >= 0x0525 && record.Fid <= 0x0530);
    }
    for (const Bytes& command : Commands()) {
        EXPECT_NE(command, SelectOf(0x0525));
        EXPECT_NE(command, SelectOf(0x0540)); // VU_Configuration: never
    }
    const cardfile::TReport report = Check(OutputFile());
    EXPECT_TRUE(report.AllValid()) << report.Summary();
}

// A probe the card refuses leaves exactly the first-generation download.
TEST_F(Gen2DownloadTest, ARefusedProbeGivesTheFirstGenerationFile) {
    InsertDriverCard(Gen2(2));
    Card->FailCommand(kProbe, 0x6A82);
    const TCardIdentity identity = Download();
    EXPECT_EQ(identity.Generation, 1);
    EXPECT_TRUE(identity.Complete);
    EXPECT_EQ(OutputFile(), Join(CompleteDownload(Image)));
}

// A version-2 file the card does not have writes nothing and costs nothing;
// a refused signature leaves its file unsigned, told, and the date unchanged.
TEST_F(Gen2DownloadTest, AMissingVersion2FileAndARefusedSignature) {
    cardsim::TCardImage image = cardsim::BuildDriverCard(Gen2(2));
    image.Remove(G2(0x0528));
    InsertImage(image);
    Card->FailInstruction(0x00, 0x2A, 0x6985, G2(0x0506));
    const TCardIdentity identity = Download();
    EXPECT_TRUE(identity.Complete);
    EXPECT_EQ(identity.NotSignedByCard, 1);
    const auto records = Records();
    EXPECT_TRUE(std::none_of(records.begin(), records.end(),
                             [](const auto& r) { return r.Fid == 0x0528; }));
    const auto signatures = FidsOf(records, 0x03);
    EXPECT_EQ(std::count(signatures.begin(), signatures.end(), 0x0506), 0);
    EXPECT_EQ(Card->FileContents(G2(0x050E)), *Image.Find(G2(0x050E)));
    const cardfile::TReport report = Check(OutputFile());
    EXPECT_FALSE(report.AllValid());
    EXPECT_EQ(report.ChainG2, cardfile::TChain::Valid);
}

// One flipped byte in a G2 block makes exactly that block invalid; a
// signature of an unexpected length and a bad root certificate get clear lines.
TEST_F(Gen2DownloadTest, AFlippedByteAnOddSignatureLengthAndABadRootAreTold) {
    InsertDriverCard(Gen2(2));
    Download();
    std::string file = OutputFile();
    const auto records = Records();
    const auto gnss = std::find_if(records.begin(), records.end(),
                                   [](const auto& r) { return r.Fid == 0x0524 && r.Type == 0x02; });
    ASSERT_NE(gnss, records.end());
    file[gnss->Offset + 5 + 100] ^= 0x01;
    cardfile::TReport report = Check(file);
    EXPECT_EQ(report.ChainG2, cardfile::TChain::Valid);
    for (const auto& block : report.BlocksG2) {
        EXPECT_EQ(block.Verdict,
                  block.Fid == 0x0524 ? cardfile::TVerdict::Invalid : cardfile::TVerdict::Valid)
            << std::hex << block.Fid;
    }
    EXPECT_TRUE(report.Blocks.size() == 12 &&
                std::all_of(report.Blocks.begin(), report.Blocks.end(),
                            [](const auto& b) { return b.Verdict == cardfile::TVerdict::Valid; }));

    // A signature of another length than the card's curve gives: invalid,
    // with a line that says so.
    std::string rebuilt;
    for (const auto& record : records) {
        Bytes data = record.Data;
        if (record.Fid == 0x0524 && record.Type == 0x03) {
            data.resize(70);
        }
        rebuilt += Header(record.Fid, record.Type, data.size()) + AsString(data);
    }
    report = Check(rebuilt);
    EXPECT_FALSE(report.AllValid());
    EXPECT_NE(std::find(report.Notes.begin(), report.Notes.end(),
                        "G2 signature of 0524 has 70 bytes where brainpoolP256r1 gives 64"),
              report.Notes.end());

    // The root certificate's bytes cut short: a clear line, no crash.
    const Bytes cut(cardsim::TestPkiG2().RootCertificate.begin(),
                    cardsim::TestPkiG2().RootCertificate.begin() + 40);
    const auto root = cardfile::ReadRootKey(cardsim::TestPki().RootKeyFile, nullptr);
    report = cardfile::Verify(AsBytes(OutputFile()), &*root, &cut);
    EXPECT_EQ(report.ChainG2, cardfile::TChain::Invalid);
    EXPECT_FALSE(report.Notes.empty());
}

// With the first generation's root alone, a well signed second-generation
// card is valid as far as it was checked, and its second part "not checked";
// the G2 root certificate under a published name is found where EC_PK.bin is.
TEST_F(Gen2DownloadTest, WithoutTheG2RootTheSecondPartIsNotCheckedNotInvalid) {
    InsertDriverCard(Gen2(2));
    Download();
    Session.FRootKeyPath = DRAVIK_TEST_ROOT_KEY_PATH;
    Session.Log.clear();
    EXPECT_TRUE(Session.VerifyDownload());
    ASSERT_FALSE(Session.Log.empty());
    EXPECT_EQ(Session.Log.back().rfind("Signatures not checked in full: ", 0), 0u)
        << Session.Log.back();

    EXPECT_EQ(cardfile::FindRootG2(Scratch.Path.string()), "");
    const std::string root = (Scratch.Path / "ERCA_Gen2_Root_Certificate.bin").string();
    WriteWholeFile(root, AsString(cardsim::TestPkiG2().RootCertificate));
    Session.FRootG2Path = cardfile::FindRootG2(Scratch.Path.string());
    EXPECT_EQ(Session.FRootG2Path, root);
    EXPECT_TRUE(Session.VerifyDownload());
    EXPECT_EQ(Session.Log.back().rfind("Signatures valid: ", 0), 0u) << Session.Log.back();
}

// A version-2 card has EF Application_Identification_V2: without it the files
// it sizes cannot be read whole, nor guessed at, and the download is not
// whole; the card keeps its last download date.
TEST_F(Gen2DownloadTest, AVersion2CardWithoutItsSizesIsNotWhole) {
    cardsim::TCardImage image = cardsim::BuildDriverCard(Gen2(2));
    image.Remove(G2(0x0525));
    InsertImage(image);
    const TCardIdentity identity = Download();
    EXPECT_EQ(identity.Generation, 2);
    EXPECT_FALSE(identity.Complete);
    for (const std::uint16_t fid : {0x0528, 0x0529, 0x0530}) {
        for (const Bytes& command : Commands()) {
            EXPECT_NE(command, SelectOf(fid)) << std::hex << fid;
        }
    }
    for (const auto& record : Records()) {
        EXPECT_FALSE(record.Type == 0x02 && record.Fid >= 0x0528 && record.Fid <= 0x0530)
            << std::hex << record.Fid;
    }
    EXPECT_EQ(Card->FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
}

// Only the version-2 files that a card may lack are "not on the card": a
// mandatory G2 file that answers 6A82 leaves the download not whole.
TEST_F(Gen2DownloadTest, AMandatoryG2FileMissingIsNeverWhole) {
    for (const std::uint16_t fid : {0x0502, 0x0520, 0x0507}) {
        cardsim::TCardImage image = cardsim::BuildDriverCard(Gen2(2));
        image.Remove(G2(fid));
        InsertImage(image);
        const TCardIdentity identity = Download();
        EXPECT_FALSE(identity.Complete) << std::hex << fid;
        EXPECT_EQ(Card->FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
        fakepcsc::RemoveCard(kReaderName);
        ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
    }
}

namespace {

// 80, then the card capabilities 73 00 00 40: extended Lc and Le.
const Bytes kAtrExtended = {0x3B, 0x85, 0x80, 0x01, 0x80, 0x73, 0x00, 0x00, 0x40, 0xB7};
// The same without the extended-length bit.
const Bytes kAtrPlain = {0x3B, 0x85, 0x80, 0x01, 0x80, 0x73, 0x00, 0x00, 0x00, 0xF7};

bool IsExtendedRead(const Bytes& command) {
    return command.size() == 7 && command[1] == 0xB0 && command[4] == 0x00;
}

} // namespace

// A card that announces extended length, in its ATR or in EF ATR/INFO, gets
// its G2 files in fewer, longer reads and gives the very file of short reads,
// its first part in the same commands. A card that announces it and then
// refuses it (6700, or an exchange the reader fails, and maybe resets the
// card after) gets the short reads from that chunk on, and its file loses no
// byte nor signature.
TEST_F(Gen2DownloadTest, ExtendedLengthReadsAndTheirRefusalGiveTheSameFile) {
    InsertDriverCard(Gen2(2));
    Session.FUpdateCardDownload = false;
    const TCardIdentity shortReads = Download();
    ASSERT_TRUE(shortReads.Complete);
    const std::string expected = OutputFile();
    const std::vector<Bytes> shortCommands = Commands();
    const auto probe = std::find(shortCommands.begin(), shortCommands.end(), kProbe);
    ASSERT_NE(probe, shortCommands.end());
    const std::vector<Bytes> firstPart(shortCommands.begin(), probe + 1);
    // This card's ATR says nothing: it was asked in EF ATR/INFO (its MF
    // refused), and DF Tachograph_G2 selected again.
    const Bytes selectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    ASSERT_EQ(*(probe + 1), selectMf);
    ASSERT_EQ(*(probe + 2), kProbe);

    enum class TWay { Served, Info, Refused, NotPassed, ResetAfter };
    for (const TWay way :
         {TWay::Served, TWay::Info, TWay::Refused, TWay::NotPassed, TWay::ResetAfter}) {
        SCOPED_TRACE(static_cast<int>(way));
        fakepcsc::RemoveCard(kReaderName);
        ASSERT_TRUE(PumpUntil([this] { return Reader->CardState == csNoCard; }));
        Card = std::make_shared<cardsim::TDriverCard>(Image);
        Card->ServeExtendedLength(way == TWay::Served || way == TWay::Info);
        if (way == TWay::Info) {
            Card->AnnounceExtendedLengthInAtrInfo();
        }
        InsertCard(
            [card = Card, way](const Bytes& apdu) {
                if (way == TWay::ResetAfter && IsExtendedRead(apdu)) {
                    card->Reset();
                    fakepcsc::ResetCardPower(kReaderName);
                }
                if ((way == TWay::NotPassed || way == TWay::ResetAfter) && IsExtendedRead(apdu)) {
                    throw std::runtime_error("the reader takes short APDUs only");
                }
                return card->Process(apdu);
            },
            fakepcsc::TProtocol::T1, way == TWay::Info ? kAtrPlain : kAtrExtended);
        Session.Log.clear();
        const TCardIdentity identity = Download();
        EXPECT_TRUE(identity.Complete);
        EXPECT_EQ(identity.NotSignedByCard, 0);
        EXPECT_TRUE(OutputFile() == expected) << "the files differ";

        const std::vector<Bytes> commands = Commands();
        ASSERT_GE(commands.size(), firstPart.size());
        EXPECT_TRUE(std::equal(firstPart.begin(), firstPart.end(), commands.begin()));
        const auto extended = std::count_if(commands.begin(), commands.end(), IsExtendedRead);
        const auto fallbacks =
            std::count_if(Session.Log.begin(), Session.Log.end(), [](const std::string& line) {
                return line.find("short reads from here on") != std::string::npos;
            });
        if (way == TWay::Served || way == TWay::Info) {
            EXPECT_GT(extended, 5);
            EXPECT_EQ(fallbacks, 0);
            EXPECT_LT(commands.size() + 100, shortCommands.size());
        } else {
            EXPECT_EQ(extended, 1);
            EXPECT_EQ(fallbacks, 1);
            // The refused read besides the short reads, without asking EF
            // ATR/INFO; after a reset the application, the file and its hash
            // again, and the read that met the reset.
            const std::size_t again = way == TWay::ResetAfter ? 4 : 0;
            EXPECT_EQ(commands.size(), shortCommands.size() + 1 - 2 + again);
        }
    }
}

// The time left counts the bytes of every file's contents, of both
// applications, without going back or past its total; its text rounds up and
// comes in both languages.
TEST_F(Gen2DownloadTest, TheBytesLeftCountEveryFileAndTheTimeLeftIsSaid) {
    InsertDriverCard(Gen2(2));
    Download();
    std::size_t contents = 0;
    for (const auto& record : Records()) {
        contents += record.Type == 0x00 || record.Type == 0x02 ? record.Data.size() : 0;
    }
    const auto& counts = Session.ByteCounts;
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.back(), std::make_pair(contents, contents));
    for (std::size_t i = 0; i < counts.size(); ++i) {
        EXPECT_LE(counts[i].first, counts[i].second) << i;
        if (i > 0) {
            EXPECT_GE(counts[i].first, counts[i - 1].first) << i;
        }
    }

    EXPECT_FALSE(EstimateTimeLeft(2.9, 100, 400));
    EXPECT_FALSE(EstimateTimeLeft(10, 0, 400));
    EXPECT_EQ(EstimateTimeLeft(10, 100, 400), 30.0);
    EXPECT_EQ(TimeLeftText(30, true), "još oko 30 s");
    EXPECT_EQ(TimeLeftText(0.2, false), "about 5 s left");
    EXPECT_EQ(TimeLeftText(71, true), "još oko 1 min 20 s");
    EXPECT_EQ(TimeLeftText(120, false), "about 2 min left");
}
