// The command exchange: hexadecimal command text to bytes, the card's answer
// into the three response fields, and the connect/disconnect pass-throughs.
#include "DownloadTestSupport.h"
#include "main/CardCapabilities.h"

#include <array>

using downloadtest::TFakeReaderTest;
using downloadtest::TTestSession;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes ToBytes(const std::string& text, std::size_t capacity = kExchangeBufferSize) {
    Bytes buffer(capacity);
    buffer.resize(HexToBytes(text, buffer.data(), capacity));
    return buffer;
}

std::string Chars(std::initializer_list<int> codes) {
    std::string text;
    for (int code : codes) {
        text += static_cast<char>(code);
    }
    return text;
}

} // namespace

// ------------------------------------------------------------ hex to bytes

TEST(HexToBytes, SelectOfTheTachographApplicationGivesItsElevenBytes) {
    const Bytes expected = {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};
    EXPECT_EQ(ToBytes("00 A4 04 0C 06 FF 54 41 43 48 4F"), expected);
    EXPECT_EQ(ToBytes("00 a4 04 0c 06 ff 54 41 43 48 4f"), expected);
    EXPECT_EQ(ToBytes("00A4040C06FF5441434 84F"), expected);
}

TEST(HexToBytes, EveryCharacterThatIsNoDigitIsDropped) {
    const Bytes expected = {0x00, 0xB0, 0x00, 0x00, 0x19};
    EXPECT_EQ(ToBytes("00 B0 00 00 19"), expected);
    EXPECT_EQ(ToBytes("00B0000019"), expected);
    EXPECT_EQ(ToBytes("00,\tB0;00 / 00\n19 zz!"), Bytes({0x00, 0xB0, 0x00, 0x00, 0x19}));
    // The chunked reads: four digits of offset and two of length without blanks.
    EXPECT_EQ(ToBytes("00 B0 00FA1E"), Bytes({0x00, 0xB0, 0x00, 0xFA, 0x1E}));
    EXPECT_TRUE(ToBytes("").empty());
    EXPECT_TRUE(ToBytes("only: xyz, plus; quirk!").empty());
}

TEST(HexToBytes, AnOddDigitCountEndsWithALowHalfOfZero) {
    EXPECT_EQ(ToBytes("ABC"), Bytes({0xAB, 0xC0}));
    EXPECT_EQ(ToBytes("7"), Bytes({0x70}));
    EXPECT_EQ(ToBytes("00 B0 0"), Bytes({0x00, 0xB0, 0x00}));
}

TEST(HexToBytes, NeverWritesPastTheCapacity) {
    constexpr std::size_t kGuard = 64;
    std::array<std::uint8_t, kExchangeBufferSize + kGuard> buffer{};
    buffer.fill(0xEE);
    const std::string text(1000, '1');
    EXPECT_EQ(HexToBytes(text, buffer.data(), kExchangeBufferSize), kExchangeBufferSize);
    for (std::size_t i = 0; i < kExchangeBufferSize; ++i) {
        ASSERT_EQ(buffer[i], 0x11) << i;
    }
    for (std::size_t i = kExchangeBufferSize; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0xEE) << i;
    }

    // A full buffer takes no odd last digit either.
    std::array<std::uint8_t, 3> small{};
    small.fill(0xEE);
    EXPECT_EQ(HexToBytes("ABC", small.data(), 1), 1u);
    EXPECT_EQ(small[0], 0xAB);
    EXPECT_EQ(small[1], 0xEE);
    EXPECT_EQ(HexToBytes("ABCD", small.data(), 0), 0u);
    EXPECT_EQ(small[0], 0xAB);
}

TEST(HexByteValue, TwoDigitsGiveSixteenTimesTheFirstPlusTheSecond) {
    EXPECT_EQ(HexByteValue('0', '0'), 0x00);
    EXPECT_EQ(HexByteValue('0', '9'), 9);
    EXPECT_EQ(HexByteValue('9', '1'), 9 * 16 + 1);
    EXPECT_EQ(HexByteValue('A', '5'), 10 * 16 + 5);
    EXPECT_EQ(HexByteValue('F', 'F'), 255);
    EXPECT_EQ(HexByteValue('C', 'E'), 12 * 16 + 14);
}

// ------------------------------------------------------------ the response

TEST(StoreResponse, StatusWordOnlyLeavesTheDataEmpty) {
    TTestSession session;
    session.FResponseData = "old";
    session.FResponseHex = "6F 6C 64 ";
    const std::uint8_t answer[] = {0x90, 0x00};
    session.StoreResponse(answer, 2);
    EXPECT_EQ(session.FStatusWord, "9000");
    EXPECT_EQ(session.FResponseData, "");
    EXPECT_EQ(session.FResponseHex, "");
}

TEST(StoreResponse, DataBytesKeepTheirValuesAndTheirHexEndsInABlank) {
    TTestSession session;
    const std::uint8_t answer[] = {0x01, 0xA2, 0x90, 0x00};
    session.StoreResponse(answer, 4);
    EXPECT_EQ(session.FStatusWord, "9000");
    EXPECT_EQ(session.FResponseData, Chars({1, 162}));
    EXPECT_EQ(session.FResponseHex, "01 A2 ");

    // Zero bytes and upper-case digits, and an error status word.
    const std::uint8_t other[] = {0x00, 0xFE, 0x0B, 0x6a, 0x82};
    session.StoreResponse(other, 5);
    EXPECT_EQ(session.FStatusWord, "6A82");
    EXPECT_EQ(session.FResponseData, Chars({0, 254, 11}));
    EXPECT_EQ(session.FResponseHex, "00 FE 0B ");
}

TEST(StoreResponse, FewerThanTwoBytesClearTheData) {
    TTestSession session;
    session.FResponseData = "x";
    session.FResponseHex = "78 ";
    const std::uint8_t answer[] = {0x90};
    session.StoreResponse(answer, 1);
    EXPECT_EQ(session.FResponseData, "");
    EXPECT_EQ(session.FResponseHex, "");
    session.FResponseData = "x";
    session.StoreResponse(answer, 0);
    EXPECT_EQ(session.FResponseData, "");
}

// ------------------------------------------------------------ with a card

namespace {

class SendCommandTest : public TFakeReaderTest {
protected:
    // The card answers from this queue, one answer per command; then 6D 00.
    std::vector<Bytes> Answers;
    std::vector<Bytes> Commands;

    void InsertScriptedCard(fakepcsc::TProtocol protocol = fakepcsc::TProtocol::T1) {
        InsertCard(
            [this](const Bytes& command) {
                Commands.push_back(command);
                if (Answers.empty()) {
                    return Bytes{0x6D, 0x00};
                }
                Bytes answer = Answers.front();
                Answers.erase(Answers.begin());
                return answer;
            },
            protocol);
        ASSERT_EQ(Session.ConnectCard(*Reader, false), pcsc::kSuccess);
        fakepcsc::ClearCalls();
    }
};

} // namespace

TEST_F(SendCommandTest, TheCardGetsTheCommandBytesAndTheAnswerFillsTheFields) {
    InsertScriptedCard();
    Answers = {{0x01, 0xA2, 0x90, 0x00}};
    EXPECT_EQ(Session.SendCommand(*Reader, "00 b0 00 00 02"), pcsc::kSuccess);
    ASSERT_EQ(Commands.size(), 1u);
    EXPECT_EQ(Commands[0], Bytes({0x00, 0xB0, 0x00, 0x00, 0x02}));
    EXPECT_EQ(Session.FStatusWord, "9000");
    EXPECT_EQ(Session.FResponseData, Chars({1, 162}));
    EXPECT_EQ(Session.FResponseHex, "01 A2 ");
    EXPECT_TRUE(Session.Log.empty());

    const auto transmits = fakepcsc::Calls("SCardTransmit");
    ASSERT_EQ(transmits.size(), 1u);
    EXPECT_EQ(transmits[0].PciProtocol, static_cast<std::uint64_t>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(transmits[0].Context, static_cast<std::uint64_t>(Reader->CardHandle));
}

TEST_F(SendCommandTest, AnErrorStatusWordIsASuccessfulExchange) {
    InsertScriptedCard(fakepcsc::TProtocol::T0);
    Answers = {{0x6A, 0x82}};
    EXPECT_EQ(Session.SendCommand(*Reader, "00 A4 02 0C 02 05 99"), pcsc::kSuccess);
    EXPECT_EQ(Session.FStatusWord, "6A82");
    EXPECT_EQ(Session.FResponseData, "");
    EXPECT_TRUE(Session.Log.empty());
    EXPECT_EQ(fakepcsc::Calls("SCardTransmit").at(0).PciProtocol,
              static_cast<std::uint64_t>(SCARD_PROTOCOL_T0));
}

TEST_F(SendCommandTest, AFailedExchangeKeepsThePreviousDataAndLogsTwoLines) {
    InsertScriptedCard();
    Answers = {{0x01, 0xA2, 0x90, 0x00}};
    Session.SendCommand(*Reader, "00 B0 00 00 02");
    fakepcsc::ForceResult("SCardTransmit", 0x8010000C);
    EXPECT_EQ(Session.SendCommand(*Reader, "00 B0 00 00 02"), 0x8010000Cu);
    EXPECT_EQ(Session.FStatusWord, "");
    EXPECT_EQ(Session.FResponseData, Chars({1, 162}));
    EXPECT_EQ(Session.FResponseHex, "01 A2 ");
    EXPECT_EQ(Session.Log,
              std::vector<std::string>(
                  {"SCardTransmit failed with error code 8010000C ", "(SCARD_E_NO_SMARTCARD)."}));
}

TEST_F(SendCommandTest, NoUsableProtocolFailsWith87WithoutCallingTheService) {
    InsertScriptedCard(fakepcsc::TProtocol::Raw);
    EXPECT_EQ(Session.SendCommand(*Reader, "00 B0 00 00 02"), 87u);
    EXPECT_TRUE(fakepcsc::Calls("SCardTransmit").empty());
    EXPECT_EQ(Session.FStatusWord, "");
    EXPECT_EQ(Session.Log,
              std::vector<std::string>({"SCardTransmit failed with error code 00000057 ", "(SCARD_?"
                                                                                          "?)."}));
}

TEST_F(SendCommandTest, CommandTextsBeyondTheBufferAreCutAndEmptyOnesStillGoOut) {
    InsertScriptedCard();
    Session.SendCommand(*Reader, std::string(1000, 'A'));
    Session.SendCommand(*Reader, "- zz, xyz -");
    ASSERT_EQ(Commands.size(), 2u);
    EXPECT_EQ(Commands[0], Bytes(kExchangeBufferSize, 0xAA));
    EXPECT_TRUE(Commands[1].empty());
    EXPECT_EQ(Session.FStatusWord, "6D00");
}

TEST_F(SendCommandTest, TheExchangeOffersTheCardAFullResponseBuffer) {
    InsertScriptedCard();
    Bytes longest(256, 0x5A);
    longest.push_back(0x90);
    longest.push_back(0x00);
    Answers = {longest};
    EXPECT_EQ(Session.SendCommand(*Reader, "00 B0 00 00 00"), pcsc::kSuccess);
    EXPECT_EQ(Session.FStatusWord, "9000");
    EXPECT_EQ(Session.FResponseData, std::string(256, 'Z'));
    EXPECT_EQ(Session.FResponseHex.size(), 256u * 3);
}

// ------------------------------------------------------- connect, disconnect

TEST_F(SendCommandTest, ConnectCardAsksForSharedOrExclusiveUseAndReusesAConnection) {
    InsertCard({});
    EXPECT_EQ(Session.ConnectCard(*Reader, false), pcsc::kSuccess);
    EXPECT_EQ(Session.ConnectCard(*Reader, false), pcsc::kSuccess);
    auto connects = fakepcsc::Calls("SCardConnect");
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].ShareMode, static_cast<std::uint64_t>(SCARD_SHARE_SHARED));
    EXPECT_EQ(connects[0].Context, static_cast<std::uint64_t>(Session.FContext));
    EXPECT_TRUE(Session.Log.empty());

    EXPECT_EQ(Session.DisconnectCard(*Reader), pcsc::kSuccess);
    EXPECT_EQ(Reader->CardHandle, pcsc::kNoCardHandle);
    const auto disconnects = fakepcsc::Calls("SCardDisconnect");
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].Disposition, static_cast<std::uint64_t>(SCARD_UNPOWER_CARD));
    // Nothing left to disconnect: nothing called.
    EXPECT_EQ(Session.DisconnectCard(*Reader), pcsc::kSuccess);
    EXPECT_EQ(fakepcsc::Calls("SCardDisconnect").size(), 1u);

    EXPECT_EQ(Session.ConnectCard(*Reader, true), pcsc::kSuccess);
    connects = fakepcsc::Calls("SCardConnect");
    ASSERT_EQ(connects.size(), 2u);
    EXPECT_EQ(connects[1].ShareMode, static_cast<std::uint64_t>(SCARD_SHARE_EXCLUSIVE));
    Session.DisconnectCard(*Reader);
}

TEST_F(SendCommandTest, ConnectAndDisconnectHandTheirResultsOnUnlogged) {
    InsertCard({});
    fakepcsc::SetCardExclusive(downloadtest::kReaderName, true);
    EXPECT_EQ(Session.ConnectCard(*Reader, false),
              static_cast<pcsc::TResult>(SCARD_E_SHARING_VIOLATION));
    EXPECT_EQ(Reader->CardHandle, pcsc::kNoCardHandle);
    fakepcsc::SetCardExclusive(downloadtest::kReaderName, false);

    ASSERT_EQ(Session.ConnectCard(*Reader, false), pcsc::kSuccess);
    fakepcsc::ForceResult("SCardDisconnect", 0x80100017);
    EXPECT_EQ(Session.DisconnectCard(*Reader), 0x80100017u);
    EXPECT_EQ(Reader->CardHandle, pcsc::kNoCardHandle);
    EXPECT_TRUE(Session.Log.empty());
}

// ------------------------------------------------------------ the state now

// The command line takes the card's state from one question rather than from
// the watcher's first report: it must say what that report says, before it
// comes, and a reader the service does not know leaves the object alone.
TEST_F(TFakeReaderTest, ReadCardStateSaysWhatTheFirstReportWillSay) {
    using downloadtest::kAtrT1;
    using downloadtest::kReaderName;
    fakepcsc::InsertCard(kReaderName, kAtrT1, fakepcsc::TProtocol::T1, [](const Bytes&) {
        return Bytes{0x90, 0x00};
    });
    OpenReader();
    ASSERT_EQ(Session.ReadCardState(*Reader), pcsc::kSuccess);
    EXPECT_EQ(Reader->CardState, csAvailable);
    EXPECT_EQ(Reader->ATR, "3B 80 80 01 01 ");
    // The watcher's first report, when it has run, changes nothing.
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(Reader->CardState, csAvailable);
    EXPECT_EQ(Reader->ATR, "3B 80 80 01 01 ");

    fakepcsc::RemoveCard(kReaderName);
    ASSERT_EQ(Session.ReadCardState(*Reader), pcsc::kSuccess);
    EXPECT_EQ(Reader->CardState, csNoCard);

    TReaderObject unknown("No Such Reader", *Session.FPCSC);
    EXPECT_NE(Session.ReadCardState(unknown), pcsc::kSuccess);
    EXPECT_EQ(unknown.CardState, csUnknown);
}

// The card capabilities in the historical bytes, past the interface bytes
// whatever TD bytes announce; an ATR cut short or without them says no.
TEST(CardCapabilitiesTest, TheAtrTellsExtendedLength) {
    EXPECT_TRUE(AnnouncesExtendedLength("3B 85 80 01 80 73 00 00 40 B7"));
    // TA1 TB1 TC1 present, category 00 with its three status bytes after the TLV.
    EXPECT_TRUE(AnnouncesExtendedLength("3B FA 11 00 00 80 01 00 31 C0 73 00 00 C0 80 90 00 00"));
    EXPECT_FALSE(AnnouncesExtendedLength("3B 85 80 01 80 73 00 00 80 77")); // chaining only
    EXPECT_FALSE(AnnouncesExtendedLength("3B 80 80 01 01"));                // no historical bytes
    EXPECT_FALSE(AnnouncesExtendedLength("3B 85 80 01 80 73 00"));          // cut short
    EXPECT_FALSE(AnnouncesExtendedLength("3B 85 80 01 4A 73 00 00 40 B7")); // proprietary
    EXPECT_FALSE(AnnouncesExtendedLength("3B 83 80 01 00 73 00 00"));       // status eats them
    EXPECT_FALSE(AnnouncesExtendedLength("3B 8F 80"));                      // TD1 announces more
    EXPECT_FALSE(AnnouncesExtendedLength(""));
}

// EF ATR/INFO's card capabilities object among others, after padding and a
// two-byte tag; cut or without the bit it says no.
TEST(CardCapabilitiesTest, EfAtrInfoTellsExtendedLength) {
    auto info = [](std::initializer_list<int> bytes) {
        std::string text;
        for (const int b : bytes) {
            text += static_cast<char>(b);
        }
        return text;
    };
    EXPECT_TRUE(InfoAnnouncesExtendedLength(info({0x47, 0x03, 0x00, 0x00, 0x40})));
    EXPECT_TRUE(InfoAnnouncesExtendedLength(
        info({0x00, 0xFF, 0x7F, 0x66, 0x08, 0x02, 0x02, 0x04, 0x00, 0x02, 0x02,
              0x10, 0x00, 0x46, 0x81, 0x01, 0x11, 0x47, 0x03, 0x00, 0x00, 0xC0})));
    EXPECT_FALSE(InfoAnnouncesExtendedLength(info({0x47, 0x03, 0x00, 0x00, 0x80})));
    EXPECT_FALSE(InfoAnnouncesExtendedLength(info({0x47, 0x03, 0x00, 0x40})));
    EXPECT_FALSE(InfoAnnouncesExtendedLength(info({0x46, 0x82, 0xFF, 0xFF, 0x47})));
    EXPECT_FALSE(InfoAnnouncesExtendedLength(info({0x5F})));
}
