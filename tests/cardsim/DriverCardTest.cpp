#include "cardsim/DriverCard.h"
#include "cardsim/DownloadFile.h"
#include "cardsim/SampleCard.h"
#include "cardsim/TestPki.h"

#include <gtest/gtest.h>

using namespace cardsim;
using TBytes = std::vector<std::uint8_t>;

namespace {

std::uint16_t Sw(const TBytes& response) {
    EXPECT_GE(response.size(), 2u);
    if (response.size() < 2) {
        return 0;
    }
    return static_cast<std::uint16_t>(response[response.size() - 2] << 8 |
                                      response[response.size() - 1]);
}

TBytes Data(const TBytes& response) {
    return response.size() < 2 ? TBytes{} : TBytes(response.begin(), response.end() - 2);
}

TBytes SelectFile(std::uint16_t fid) {
    return {0x00,
            0xA4,
            0x02,
            0x0C,
            0x02,
            static_cast<std::uint8_t>(fid >> 8),
            static_cast<std::uint8_t>(fid)};
}

TBytes SelectApplication() {
    return {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};
}

TBytes ReadBinary(unsigned offset, std::uint8_t le) {
    return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
            le};
}

// The bytes [from, from + count) of a file of the image, clipped at its end.
TBytes Slice(const TCardImage& image, TFileRef file, std::size_t from, std::size_t count) {
    const TBytes& all = *image.Find(file);
    const std::size_t end = std::min(all.size(), from + count);
    return TBytes(all.begin() + static_cast<std::ptrdiff_t>(from),
                  all.begin() + static_cast<std::ptrdiff_t>(end));
}

class DriverCardTest : public ::testing::Test {
protected:
    TCardImage Image = BuildDriverCard();
    TDriverCard Card{Image};

    void EnterApplication() { ASSERT_EQ(Sw(Card.Process(SelectApplication())), 0x9000); }
};

TEST_F(DriverCardTest, SelectSeesOnlyTheFilesOfTheCurrentDf) {
    // After power-on the master file is current: its EFs are found, the
    // tachograph EFs are not.
    EXPECT_EQ(Card.Process(SelectFile(0x0002)), (TBytes{0x90, 0x00}));
    EXPECT_EQ(Card.Process(SelectFile(0x0005)), (TBytes{0x90, 0x00}));
    EXPECT_EQ(Card.Process(SelectFile(0x0501)), (TBytes{0x6A, 0x82}));
    EXPECT_EQ(Card.Process(SelectApplication()), (TBytes{0x90, 0x00}));
    for (std::uint16_t fid : {0x0501, 0xC100, 0xC108, 0x0520, 0x050E, 0x0521, 0x0507, 0x0508,
                              0x0522, 0x0502, 0x0503, 0x0505, 0x0506, 0x0504}) {
        EXPECT_EQ(Card.Process(SelectFile(fid)), (TBytes{0x90, 0x00})) << std::hex << fid;
    }
    EXPECT_EQ(Card.Process(SelectFile(0x0002)), (TBytes{0x6A, 0x82}));
    EXPECT_EQ(Card.Process(SelectFile(0x1234)), (TBytes{0x6A, 0x82}));

    // Power-on again: back to the master file.
    Card.Reset();
    EXPECT_EQ(Sw(Card.Process(SelectFile(0x0501))), 0x6A82);
    EXPECT_EQ(Sw(Card.Process(SelectFile(0x0002))), 0x9000);
}

TEST_F(DriverCardTest, UnknownApplicationNameIsNotFoundAndKeepsTheDf) {
    TBytes other = SelectApplication();
    other.back() = 0x50;
    EXPECT_EQ(Sw(Card.Process(other)), 0x6A82);
    EXPECT_EQ(Sw(Card.Process(SelectFile(0x0002))), 0x9000);
    const TBytes shortName = {0x00, 0xA4, 0x04, 0x0C, 0x05, 0xFF, 0x54, 0x41, 0x43, 0x48};
    EXPECT_EQ(Sw(Card.Process(shortName)), 0x6A82);
}

TEST_F(DriverCardTest, ReadBinaryAnswersTheSelectedFile) {
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0002))), 0x9000);
    const TBytes icc = Card.Process(ReadBinary(0, 25));
    EXPECT_EQ(Sw(icc), 0x9000);
    EXPECT_EQ(Data(icc), *Image.Find(ef::Icc));

    EnterApplication();
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0520))), 0x9000);
    const TBytes part = Card.Process(ReadBinary(60, 10));
    EXPECT_EQ(Sw(part), 0x9000);
    EXPECT_EQ(Data(part), Slice(Image, ef::Identification, 60, 10));
}

TEST_F(DriverCardTest, ReadBinaryStatusWords) {
    // Nothing selected yet.
    EXPECT_EQ(Card.Process(ReadBinary(0, 8)), (TBytes{0x69, 0x86}));

    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0005))), 0x9000); // EF IC, 8 bytes
    const TBytes& ic = *Image.Find(ef::Ic);
    ASSERT_EQ(ic.size(), 8u);
    // Exactly what is left.
    EXPECT_EQ(Card.Process(ReadBinary(3, 5)),
              (TBytes{ic[3], ic[4], ic[5], ic[6], ic[7], 0x90, 0x00}));
    // More asked than is left: what there is, and 6282.
    EXPECT_EQ(Card.Process(ReadBinary(6, 4)), (TBytes{ic[6], ic[7], 0x62, 0x82}));
    // At the very end nothing is left.
    EXPECT_EQ(Card.Process(ReadBinary(8, 1)), (TBytes{0x62, 0x82}));
    // Past the end.
    EXPECT_EQ(Card.Process(ReadBinary(9, 1)), (TBytes{0x6B, 0x00}));
    EXPECT_EQ(Card.Process(ReadBinary(0x7FFF, 1)), (TBytes{0x6B, 0x00}));
}

TEST_F(DriverCardTest, ReadBinaryOffsetAndLeEncoding) {
    EnterApplication();
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0504))), 0x9000);
    // Le 00 asks for 256 bytes.
    const TBytes whole = Card.Process(ReadBinary(0x1234, 0x00));
    EXPECT_EQ(Sw(whole), 0x9000);
    EXPECT_EQ(Data(whole), Slice(Image, ef::DriverActivityData, 0x1234, 256));
    // The top bit of P1 is not part of the offset.
    const TBytes masked = Card.Process({0x00, 0xB0, 0x92, 0x34, 0x10});
    EXPECT_EQ(Data(masked), Slice(Image, ef::DriverActivityData, 0x1234, 16));
    // The last chunk of a file read in 250-byte pieces.
    const std::size_t size = Image.Find(ef::DriverActivityData)->size();
    const std::size_t last = size / 250 * 250;
    const TBytes tail = Card.Process(
        ReadBinary(static_cast<unsigned>(last), static_cast<std::uint8_t>(size - last)));
    EXPECT_EQ(Sw(tail), 0x9000);
    EXPECT_EQ(Data(tail), Slice(Image, ef::DriverActivityData, last, size - last));
}

TEST_F(DriverCardTest, FailedSelectLeavesNoFileSelected) {
    EnterApplication();
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0520))), 0x9000);
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0599))), 0x6A82);
    EXPECT_EQ(Card.Process(ReadBinary(0, 10)), (TBytes{0x69, 0x86}));
}

TEST_F(DriverCardTest, MalformedCommands) {
    EXPECT_EQ(Card.Process({0x80, 0xB0, 0x00, 0x00, 0x08}), (TBytes{0x6E, 0x00}));
    EXPECT_EQ(Card.Process({0x00, 0xCA, 0x00, 0x00, 0x08}), (TBytes{0x6D, 0x00}));
    EXPECT_EQ(Card.Process({0x00, 0xA4, 0x02}), (TBytes{0x67, 0x00}));
    EXPECT_EQ(Card.Process({}), (TBytes{0x67, 0x00}));
    // SELECT: Lc disagreeing with the data, a file identifier of three bytes,
    // a trailing Le, no Lc at all.
    EXPECT_EQ(Card.Process({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x00}), (TBytes{0x67, 0x00}));
    EXPECT_EQ(Card.Process({0x00, 0xA4, 0x02, 0x0C, 0x03, 0x00, 0x00, 0x02}), (TBytes{0x67, 0x00}));
    EXPECT_EQ(Card.Process({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x00, 0x02, 0x00}), (TBytes{0x67, 0x00}));
    EXPECT_EQ(Card.Process({0x00, 0xA4, 0x02, 0x0C}), (TBytes{0x67, 0x00}));
    // SELECT asking for FCI or by another method.
    EXPECT_EQ(Card.Process({0x00, 0xA4, 0x02, 0x00, 0x02, 0x00, 0x02}), (TBytes{0x6A, 0x86}));
    EXPECT_EQ(Card.Process({0x00, 0xA4, 0x01, 0x0C, 0x02, 0x00, 0x02}), (TBytes{0x6A, 0x86}));
    // READ BINARY without Le, or with data.
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0002))), 0x9000);
    EXPECT_EQ(Card.Process({0x00, 0xB0, 0x00, 0x00}), (TBytes{0x67, 0x00}));
    EXPECT_EQ(Card.Process({0x00, 0xB0, 0x00, 0x00, 0x01, 0x00}), (TBytes{0x67, 0x00}));
    // None of that disturbed the selection.
    EXPECT_EQ(Data(Card.Process(ReadBinary(0, 25))), *Image.Find(ef::Icc));
}

TEST_F(DriverCardTest, ScriptedStatusWordForOneExactCommand) {
    Card.FailCommand(SelectFile(0x0520), 0x6400);
    Card.FailCommand(ReadBinary(0, 0x13), 0x6581);
    EnterApplication();
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0501))), 0x9000);
    EXPECT_EQ(Card.Process(SelectFile(0x0520)), (TBytes{0x64, 0x00}));
    // The scripted SELECT selected nothing, and it fails every time.
    EXPECT_EQ(Sw(Card.Process(ReadBinary(0, 10))), 0x6986);
    EXPECT_EQ(Sw(Card.Process(SelectFile(0x0520))), 0x6400);

    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0507))), 0x9000);
    EXPECT_EQ(Card.Process(ReadBinary(0, 0x13)), (TBytes{0x65, 0x81}));
    // A command differing in one byte is carried out.
    EXPECT_EQ(Data(Card.Process(ReadBinary(0, 0x12))), Slice(Image, ef::CurrentUsage, 0, 0x12));
}

TEST_F(DriverCardTest, ScriptedReadFailureAtOneOffsetOfOneFile) {
    Card.FailRead(ef::EventsData, 500, 0x6581);
    EnterApplication();
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0502))), 0x9000);
    EXPECT_EQ(Data(Card.Process(ReadBinary(250, 250))), Slice(Image, ef::EventsData, 250, 250));
    EXPECT_EQ(Card.Process(ReadBinary(500, 250)), (TBytes{0x65, 0x81}));
    EXPECT_EQ(Card.Process(ReadBinary(500, 1)), (TBytes{0x65, 0x81}));
    EXPECT_EQ(Sw(Card.Process(ReadBinary(501, 250))), 0x9000);
    EXPECT_EQ(Sw(Card.Process(ReadBinary(750, 250))), 0x9000);
    // Offset 500 of another file reads.
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0503))), 0x9000);
    EXPECT_EQ(Data(Card.Process(ReadBinary(500, 250))), Slice(Image, ef::FaultsData, 500, 250));
}

TEST_F(DriverCardTest, UnreadableAndMissingFiles) {
    Card.SetUnreadable(ef::Identification);
    Card.SetUnreadable(ef::Icc, 0x6A81);
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0002))), 0x9000);
    EXPECT_EQ(Card.Process(ReadBinary(0, 25)), (TBytes{0x6A, 0x81}));
    EnterApplication();
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0520))), 0x9000);
    EXPECT_EQ(Card.Process(ReadBinary(0, 0x8F)), (TBytes{0x69, 0x82}));
    EXPECT_EQ(Card.Process(ReadBinary(65, 1)), (TBytes{0x69, 0x82}));

    TCardImage without = Image;
    without.Remove(ef::Places);
    without.Remove(ef::Ic);
    TDriverCard missing(without);
    EXPECT_EQ(Sw(missing.Process(SelectFile(0x0005))), 0x6A82);
    EXPECT_EQ(Sw(missing.Process(SelectApplication())), 0x9000);
    EXPECT_EQ(Sw(missing.Process(SelectFile(0x0506))), 0x6A82);
    EXPECT_EQ(Sw(missing.Process(SelectFile(0x0505))), 0x9000);
}

TEST_F(DriverCardTest, RemovedAfterNCommands) {
    Card.RemoveAfter(3);
    EXPECT_FALSE(Card.Removed());
    EXPECT_EQ(Sw(Card.Process(SelectFile(0x0002))), 0x9000);
    EXPECT_EQ(Sw(Card.Process(ReadBinary(0, 25))), 0x9000);
    EXPECT_FALSE(Card.Removed());
    EXPECT_EQ(Sw(Card.Process(SelectApplication())), 0x9000);
    EXPECT_TRUE(Card.Removed());
    EXPECT_TRUE(Card.Process(SelectFile(0x0501)).empty());
    EXPECT_TRUE(Card.Process({0x00, 0xCA, 0x00, 0x00, 0x00}).empty());
    Card.Reset();
    EXPECT_TRUE(Card.Process(SelectFile(0x0002)).empty());
    EXPECT_TRUE(Card.Removed());
    EXPECT_EQ(Card.Commands(), 3);

    // Counted from the moment of scripting, scripted answers included.
    TDriverCard later(Image);
    later.FailCommand(SelectFile(0x0005), 0x6A82);
    EXPECT_EQ(Sw(later.Process(SelectFile(0x0005))), 0x6A82);
    later.RemoveAfter(1);
    EXPECT_EQ(Sw(later.Process(SelectFile(0x0005))), 0x6A82);
    EXPECT_TRUE(later.Process(SelectFile(0x0002)).empty());
    EXPECT_EQ(later.Commands(), 2);

    TDriverCard gone(Image);
    gone.RemoveAfter(0);
    EXPECT_TRUE(gone.Removed());
    EXPECT_TRUE(gone.Process(SelectFile(0x0002)).empty());
    EXPECT_EQ(gone.Commands(), 0);
}

const TBytes kPerformHash = {0x80, 0x2A, 0x90, 0x00};
const TBytes kComputeSignature = {0x00, 0x2A, 0x9E, 0x9A, 0x80};

// The card signs the file the last hash was made of, whatever is selected
// since; only a new hash, a SELECT of the application or a reset change that.
TEST_F(DriverCardTest, SignsTheHashedFileUntilTheHashIsGone) {
    EnterApplication();
    EXPECT_EQ(Sw(Card.Process(kComputeSignature)), 0x6985); // no hash yet
    EXPECT_EQ(Sw(Card.Process(kPerformHash)), 0x6986);      // no EF selected
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0520))), 0x9000);
    ASSERT_EQ(Sw(Card.Process(kPerformHash)), 0x9000);
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0501))), 0x9000);
    const TBytes answer = Card.Process(kComputeSignature);
    ASSERT_EQ(Sw(answer), 0x9000);
    const crypto::TRsaPublicKey key = TestPki().CardKey.Public();
    EXPECT_EQ(Data(answer).size(), 128u);
    EXPECT_TRUE(crypto::VerifyPkcs1Sha1(key, *Image.Find(ef::Identification), Data(answer)));
    EXPECT_FALSE(
        crypto::VerifyPkcs1Sha1(key, *Image.Find(ef::ApplicationIdentification), Data(answer)));
    EnterApplication();
    EXPECT_EQ(Sw(Card.Process(kComputeSignature)), 0x6985);
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x0501))), 0x9000);
    ASSERT_EQ(Sw(Card.Process(kPerformHash)), 0x9000);
    Card.Reset();
    EXPECT_EQ(Sw(Card.Process(kComputeSignature)), 0x6985);
}

TEST_F(DriverCardTest, UpdateBinaryWritesTheSelectedFile) {
    const TBytes update = {0x00, 0xD6, 0x00, 0x00, 0x04, 0x65, 0x43, 0x21, 0x00};
    EXPECT_EQ(Sw(Card.Process(update)), 0x6986);
    EnterApplication();
    ASSERT_EQ(Sw(Card.Process(SelectFile(0x050E))), 0x9000);
    EXPECT_EQ(Sw(Card.Process({0x00, 0xD6, 0x00, 0x02, 0x04, 1, 2, 3, 4})), 0x6B00);
    EXPECT_EQ(Card.FileContents(ef::CardDownload), *Image.Find(ef::CardDownload));
    EXPECT_EQ(Sw(Card.Process(update)), 0x9000);
    EXPECT_EQ(Card.FileContents(ef::CardDownload), (TBytes{0x65, 0x43, 0x21, 0x00}));
    EXPECT_EQ(Data(Card.Process(ReadBinary(0, 4))), (TBytes{0x65, 0x43, 0x21, 0x00}));
}

TEST_F(DriverCardTest, ScriptedRefusalsAndAnswers) {
    Card.FailInstruction(0x00, 0x2A, 0x6A88, ef::Places);
    Card.FailInstruction(0x00, 0xD6, 0x6581);
    Card.AnswerCommand({0x00, 0xB0, 0x00, 0x00, 0x04}, {1, 2, 0x90, 0x00});
    EnterApplication();
    for (const std::uint16_t fid : {0x0505, 0x0506}) {
        ASSERT_EQ(Sw(Card.Process(SelectFile(fid))), 0x9000);
        ASSERT_EQ(Sw(Card.Process(kPerformHash)), 0x9000);
        EXPECT_EQ(Sw(Card.Process(kComputeSignature)), fid == 0x0506 ? 0x6A88 : 0x9000);
    }
    EXPECT_EQ(Sw(Card.Process({0x00, 0xD6, 0x00, 0x00, 0x01, 0x00})), 0x6581);
    EXPECT_EQ(Card.Process({0x00, 0xB0, 0x00, 0x00, 0x04}), (TBytes{1, 2, 0x90, 0x00}));
}

// A card replayed from a download answers with the download's signatures, so
// that downloading it again gives the same file; a file without one cannot be
// signed by a card that has no key.
TEST_F(DriverCardTest, ReplayedCardAnswersWithTheRecordedSignature) {
    const TBytes recorded(128, 0x5A);
    const TBytes contents = *Image.Find(ef::Identification);
    TBytes file = {0x05, 0x20, 0x00, 0x00, static_cast<std::uint8_t>(contents.size())};
    file.insert(file.end(), contents.begin(), contents.end());
    file.insert(file.end(), {0x05, 0x20, 0x01, 0x00, 0x80});
    file.insert(file.end(), recorded.begin(), recorded.end());
    file.insert(file.end(), {0x05, 0x01, 0x00, 0x00, 0x01, 0x01});
    const auto image = ImageFromDownload(file);
    ASSERT_TRUE(image);
    TDriverCard replayed(*image);
    ASSERT_EQ(Sw(replayed.Process(SelectApplication())), 0x9000);
    ASSERT_EQ(Sw(replayed.Process(SelectFile(0x0520))), 0x9000);
    ASSERT_EQ(Sw(replayed.Process(kPerformHash)), 0x9000);
    const TBytes answer = replayed.Process(kComputeSignature);
    EXPECT_EQ(Sw(answer), 0x9000);
    EXPECT_EQ(Data(answer), recorded);
    ASSERT_EQ(Sw(replayed.Process(SelectFile(0x0501))), 0x9000);
    ASSERT_EQ(Sw(replayed.Process(kPerformHash)), 0x9000);
    EXPECT_EQ(Sw(replayed.Process(kComputeSignature)), 0x6985);
}

} // namespace
