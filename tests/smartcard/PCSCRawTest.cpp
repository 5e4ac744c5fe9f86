// The PC/SC binding: loading, the not-loaded refusal, the hand-through of
// arguments and results, result names and the reader-list splitter.
#include "smartcard/PCSCRaw.h"
#include "FakePcsc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

const std::vector<std::uint8_t> kAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};
const char kMissingLibrary[] = "/nonexistent/libpcsclite.so.1";

// Set into every output beforehand: a refused call must leave it alone.
constexpr SCARDCONTEXT kUntouched = 0x5A5A5A5A;

// Calls each of the eight wrappers once; every one must refuse with
// SCARD_F_INTERNAL_ERROR and reach no library.
void ExpectEveryWrapperRefuses(const TPCSCRaw& pcsc) {
    fakepcsc::ClearCalls();
    SCARDCONTEXT context = kUntouched;
    EXPECT_EQ(pcsc.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
              pcsc::kInternalError);
    EXPECT_EQ(context, kUntouched);
    EXPECT_EQ(pcsc.ReleaseContext(kUntouched), pcsc::kInternalError);
    EXPECT_EQ(pcsc.Cancel(kUntouched), pcsc::kInternalError);

    DWORD length = 77;
    char readers[77];
    EXPECT_EQ(pcsc.ListReaders(kUntouched, nullptr, readers, &length), pcsc::kInternalError);
    EXPECT_EQ(length, 77u);

    pcsc::TReaderState state{};
    state.szReader = "R";
    EXPECT_EQ(pcsc.GetStatusChange(kUntouched, 0, &state, 1), pcsc::kInternalError);
    EXPECT_EQ(state.dwEventState, 0u);

    SCARDHANDLE card = kUntouched;
    DWORD active = 77;
    EXPECT_EQ(pcsc.Connect(kUntouched, "R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active),
              pcsc::kInternalError);
    EXPECT_EQ(card, kUntouched);
    EXPECT_EQ(active, 77u);

    const std::uint8_t command[] = {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x00, 0x02};
    std::uint8_t answer[4] = {};
    DWORD answerLength = sizeof(answer);
    EXPECT_EQ(pcsc.Transmit(kUntouched, &pcsc::kPciT1, command, sizeof(command), nullptr, answer,
                            &answerLength),
              pcsc::kInternalError);
    EXPECT_EQ(answerLength, sizeof(answer));

    EXPECT_EQ(pcsc.Disconnect(kUntouched, SCARD_UNPOWER_CARD), pcsc::kInternalError);

    EXPECT_TRUE(fakepcsc::Calls().empty()) << "a wrapper reached the library";
}

} // namespace

// ------------------------------------------------------------ not loaded

class PCSCRawNotLoaded : public ::testing::Test {
protected:
    void SetUp() override { fakepcsc::Reset(); }
};

TEST_F(PCSCRawNotLoaded, EveryWrapperRefusesBeforeALoad) {
    TPCSCRaw pcsc;
    EXPECT_FALSE(pcsc.IsLoaded());
    ExpectEveryWrapperRefuses(pcsc);
}

TEST_F(PCSCRawNotLoaded, EveryWrapperRefusesAfterAFailedLoad) {
    TPCSCRaw missing;
    ASSERT_EQ(missing.Load(kMissingLibrary), 1);
    ExpectEveryWrapperRefuses(missing);

    TPCSCRaw incomplete;
    ASSERT_EQ(incomplete.Load(FAKEPCSC_NO_CANCEL_PATH), 2);
    ExpectEveryWrapperRefuses(incomplete);
}

TEST_F(PCSCRawNotLoaded, EveryWrapperRefusesAfterAnUnload) {
    TPCSCRaw pcsc;
    ASSERT_EQ(pcsc.Load(FAKEPCSC_PATH), 0);
    ASSERT_TRUE(pcsc.Unload());
    ExpectEveryWrapperRefuses(pcsc);
}

// ---------------------------------------------------------- load, unload

TEST(PCSCRawLoad, TheFakeLoadsByPathAndUnloadsOnce) {
    TPCSCRaw pcsc;
    ASSERT_EQ(pcsc.Load(FAKEPCSC_PATH), 0);
    EXPECT_TRUE(pcsc.IsLoaded());
    EXPECT_TRUE(pcsc.Unload());
    EXPECT_FALSE(pcsc.IsLoaded());
    EXPECT_FALSE(pcsc.Unload());
}

TEST(PCSCRawLoad, UnloadOfABindingNeverLoadedGivesFalse) {
    TPCSCRaw pcsc;
    EXPECT_FALSE(pcsc.Unload());
}

TEST(PCSCRawLoad, AMissingLibraryGivesOne) {
    TPCSCRaw pcsc;
    EXPECT_EQ(pcsc.Load(kMissingLibrary), 1);
    EXPECT_FALSE(pcsc.IsLoaded());
    EXPECT_FALSE(pcsc.Unload());
}

TEST(PCSCRawLoad, ALibraryLackingOneNameGivesTwoAndStaysUnloaded) {
    TPCSCRaw pcsc;
    EXPECT_EQ(pcsc.Load(FAKEPCSC_NO_CANCEL_PATH), 2);
    EXPECT_FALSE(pcsc.IsLoaded());
    EXPECT_FALSE(pcsc.Unload());
}

// The platform's own library loads by its bare name; the load alone needs no daemon.
TEST(PCSCRawLoad, ThePlatformsLibraryLoadsByDefault) {
    TPCSCRaw pcsc;
    EXPECT_EQ(pcsc.Load(), 0);
    EXPECT_TRUE(pcsc.IsLoaded());
    EXPECT_TRUE(pcsc.Unload());
}

// ----------------------------------------------------- through to the fake

class PCSCRawLoaded : public ::testing::Test {
protected:
    void SetUp() override {
        fakepcsc::Reset();
        ASSERT_EQ(PCSC.Load(FAKEPCSC_PATH), 0);
    }
    TPCSCRaw PCSC;
};

TEST_F(PCSCRawLoaded, WrappersHandTheirArgumentsOnUnchanged) {
    const std::string reader = "Reader A";
    fakepcsc::AddReader(reader);
    // The card answers with the command turned round, then 90 00.
    fakepcsc::InsertCard(reader, kAtr, fakepcsc::TProtocol::T1,
                         [](const std::vector<std::uint8_t>& command) {
                             std::vector<std::uint8_t> answer(command.rbegin(), command.rend());
                             answer.insert(answer.end(), {0x90, 0x00});
                             return answer;
                         });

    SCARDCONTEXT context = 0;
    ASSERT_EQ(PCSC.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), 0u);
    auto calls = fakepcsc::Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Function, "SCardEstablishContext");
    EXPECT_EQ(calls[0].Scope, static_cast<std::uint64_t>(SCARD_SCOPE_SYSTEM));
    EXPECT_EQ(calls[0].Handle, static_cast<std::uint64_t>(context));

    DWORD length = 0;
    ASSERT_EQ(PCSC.ListReaders(context, nullptr, nullptr, &length), 0u);
    EXPECT_EQ(length, reader.size() + 2);
    std::vector<char> buffer(length + 5, 'x');
    length = buffer.size();
    ASSERT_EQ(PCSC.ListReaders(context, nullptr, buffer.data(), &length), 0u);
    EXPECT_EQ(std::string(buffer.data(), length), reader + '\0' + '\0');
    calls = fakepcsc::Calls("SCardListReaders");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Context, static_cast<std::uint64_t>(context));
    EXPECT_EQ(calls[1].Length, buffer.size());

    pcsc::TReaderState state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    ASSERT_EQ(PCSC.GetStatusChange(context, 1234, &state, 1), 0u);
    EXPECT_EQ(state.cbAtr, kAtr.size());
    calls = fakepcsc::Calls("SCardGetStatusChange");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Context, static_cast<std::uint64_t>(context));
    EXPECT_EQ(calls[0].Timeout, 1234u);
    EXPECT_EQ(calls[0].Reader, reader);
    EXPECT_EQ(calls[0].Length, 1u);

    SCARDHANDLE card = 0;
    DWORD active = 0;
    ASSERT_EQ(PCSC.Connect(context, reader.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, &card,
                           &active),
              0u);
    EXPECT_EQ(active, DWORD{SCARD_PROTOCOL_T1});
    calls = fakepcsc::Calls("SCardConnect");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Context, static_cast<std::uint64_t>(context));
    EXPECT_EQ(calls[0].Reader, reader);
    EXPECT_EQ(calls[0].ShareMode, static_cast<std::uint64_t>(SCARD_SHARE_EXCLUSIVE));
    EXPECT_EQ(calls[0].Protocols, static_cast<std::uint64_t>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(calls[0].Handle, static_cast<std::uint64_t>(card));

    const std::vector<std::uint8_t> command = {0x00, 0xB0, 0x00, 0x00, 0x10};
    std::vector<std::uint8_t> expected(command.rbegin(), command.rend());
    expected.insert(expected.end(), {0x90, 0x00});
    std::uint8_t answer[40] = {};
    DWORD answerLength = sizeof(answer);
    ASSERT_EQ(PCSC.Transmit(card, &pcsc::kPciT1, command.data(), command.size(), nullptr, answer,
                            &answerLength),
              0u);
    EXPECT_EQ(std::vector<std::uint8_t>(answer, answer + answerLength), expected);
    calls = fakepcsc::Calls("SCardTransmit");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Context, static_cast<std::uint64_t>(card));
    EXPECT_EQ(calls[0].PciProtocol, static_cast<std::uint64_t>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(calls[0].PciLength, sizeof(SCARD_IO_REQUEST));
    EXPECT_EQ(calls[0].Data, command);
    EXPECT_EQ(calls[0].Length, sizeof(answer));

    ASSERT_EQ(PCSC.Disconnect(card, SCARD_RESET_CARD), 0u);
    calls = fakepcsc::Calls("SCardDisconnect");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Context, static_cast<std::uint64_t>(card));
    EXPECT_EQ(calls[0].Disposition, static_cast<std::uint64_t>(SCARD_RESET_CARD));

    ASSERT_EQ(PCSC.Cancel(context), 0u);
    ASSERT_EQ(PCSC.ReleaseContext(context), 0u);
    calls = fakepcsc::Calls();
    ASSERT_EQ(calls.size(), 9u);
    EXPECT_EQ(calls[7].Function, "SCardCancel");
    EXPECT_EQ(calls[7].Context, static_cast<std::uint64_t>(context));
    EXPECT_EQ(calls[8].Function, "SCardReleaseContext");
    EXPECT_EQ(calls[8].Context, static_cast<std::uint64_t>(context));
    EXPECT_EQ(fakepcsc::OpenContexts(), 0);
}

// Each wrapper reaches its own function and hands back what it returned, all
// 32 bits of it.
TEST_F(PCSCRawLoaded, WrappersReturnTheLibrarysResultUnchanged) {
    const std::pair<const char*, pcsc::TResult> forced[] = {
        {"SCardEstablishContext", 0x8010001Du}, {"SCardReleaseContext", 0x80100003u},
        {"SCardCancel", 0x80100013u},           {"SCardListReaders", 0x8010002Eu},
        {"SCardGetStatusChange", 0x8010000Au},  {"SCardConnect", 0x8010000Bu},
        {"SCardTransmit", 0x80100016u},         {"SCardDisconnect", 0x80100069u}};
    for (const auto& [function, code] : forced) {
        fakepcsc::ForceResult(function, code);
    }
    SCARDCONTEXT context = 0;
    DWORD length = 0;
    pcsc::TReaderState state{};
    state.szReader = "R";
    SCARDHANDLE card = 0;
    DWORD active = 0;
    const std::uint8_t command[] = {0x00, 0xB0, 0x00, 0x00, 0x01};
    std::uint8_t answer[8];
    DWORD answerLength = sizeof(answer);
    const pcsc::TResult results[] = {
        PCSC.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
        PCSC.ReleaseContext(1),
        PCSC.Cancel(1),
        PCSC.ListReaders(1, nullptr, nullptr, &length),
        PCSC.GetStatusChange(1, 0, &state, 1),
        PCSC.Connect(1, "R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active),
        PCSC.Transmit(2, &pcsc::kPciT1, command, sizeof(command), nullptr, answer, &answerLength),
        PCSC.Disconnect(2, SCARD_UNPOWER_CARD)};
    const auto calls = fakepcsc::Calls();
    ASSERT_EQ(calls.size(), std::size(forced));
    for (std::size_t i = 0; i < std::size(forced); ++i) {
        EXPECT_EQ(calls[i].Function, forced[i].first);
        EXPECT_EQ(results[i], forced[i].second) << forced[i].first;
    }
}

// ------------------------------------------------------------ result names

TEST(ResultName, EdgesOfTheTwoRangesAreNamed) {
    EXPECT_EQ(TPCSCRaw::ResultName(0), "SCARD_S_SUCCESS");
    EXPECT_EQ(TPCSCRaw::ResultName(0x80100001u), "SCARD_F_INTERNAL_ERROR");
    EXPECT_EQ(TPCSCRaw::ResultName(0x80100002u), "SCARD_E_CANCELLED");
    EXPECT_EQ(TPCSCRaw::ResultName(0x8010002Eu), "SCARD_E_NO_READERS_AVAILABLE");
    EXPECT_EQ(TPCSCRaw::ResultName(0x80100065u), "SCARD_W_UNSUPPORTED_CARD");
    EXPECT_EQ(TPCSCRaw::ResultName(0x8010006Eu), "SCARD_W_CANCELLED_BY_USER");
}

TEST(ResultName, CodesBesideAndBetweenTheRangesAreUnknown) {
    for (const pcsc::TResult code :
         {0x8010002Fu, 0x80100064u, 0x8010006Fu, 0x80100000u, 1u, 87u, 0xFFFFFFFFu}) {
        EXPECT_EQ(TPCSCRaw::ResultName(code), "SCARD_??") << std::hex << code;
    }
}

TEST(ResultName, NotReadyKeepsItsTrailingBlank) {
    EXPECT_EQ(TPCSCRaw::ResultName(0x80100010u), "SCARD_E_NOT_READY ");
}

// A table that slipped by one entry or lost one would repeat or blank a name.
TEST(ResultName, EveryCodeOfTheRangesHasANameOfItsOwn) {
    std::set<std::string> names;
    int codes = 0;
    const auto add = [&](pcsc::TResult code) {
        const std::string name = TPCSCRaw::ResultName(code);
        EXPECT_NE(name, "SCARD_??") << std::hex << code;
        EXPECT_GT(name.size(), std::strlen("SCARD_X_")) << std::hex << code;
        names.insert(name);
        ++codes;
    };
    add(0);
    for (pcsc::TResult code = 0x80100001u; code <= 0x8010002Eu; ++code) {
        add(code);
    }
    for (pcsc::TResult code = 0x80100065u; code <= 0x8010006Eu; ++code) {
        add(code);
    }
    EXPECT_EQ(codes, 57);
    EXPECT_EQ(names.size(), 57u);
}

// ----------------------------------------------------- the reader-list split

namespace {

// Splits `buffer` (NULs included) with its whole size as the length.
int Split(const std::string& buffer, std::vector<std::string>& list) {
    return MultiStringToList(buffer.data(), buffer.size(), &list);
}

using TNames = std::vector<std::string>;

} // namespace

TEST(MultiStringToList, TwoNamesComeInBufferOrder) {
    TNames list = {"left over"};
    const std::string buffer = std::string("Reader B") + '\0' + "Reader A" + '\0' + '\0';
    EXPECT_EQ(Split(buffer, list), 0);
    EXPECT_EQ(list, (TNames{"Reader B", "Reader A"}));
}

TEST(MultiStringToList, AnEmptyNameInsideIsSkipped) {
    TNames list;
    const std::string buffer = std::string("A") + '\0' + '\0' + "B" + '\0' + '\0';
    EXPECT_EQ(Split(buffer, list), 0);
    EXPECT_EQ(list, (TNames{"A", "B"}));
}

TEST(MultiStringToList, OnlyTheGivenLengthIsRead) {
    TNames list;
    const std::string buffer = std::string("A") + '\0' + '\0' + "B" + '\0' + '\0';
    EXPECT_EQ(MultiStringToList(buffer.data(), 3, &list), 0);
    EXPECT_EQ(list, TNames{"A"});
}

TEST(MultiStringToList, EmptyBuffersGiveAnEmptyList) {
    TNames list = {"left over"};
    EXPECT_EQ(Split(std::string(1, '\0'), list), 0);
    EXPECT_TRUE(list.empty());

    list = {"left over"};
    EXPECT_EQ(Split(std::string(2, '\0'), list), 0);
    EXPECT_TRUE(list.empty());

    list = {"left over"};
    EXPECT_EQ(MultiStringToList("A\0", 0, &list), 0);
    EXPECT_TRUE(list.empty());

    list = {"left over"};
    EXPECT_EQ(MultiStringToList(nullptr, 5, &list), 0);
    EXPECT_TRUE(list.empty());
}

TEST(MultiStringToList, AnUnterminatedBufferGivesMinusOneAndAnEmptyList) {
    const std::string cases[] = {
        "ab",                                       // two letters, no NUL
        std::string("A") + '\0' + "B" + '\0',       // the last two are a letter and a NUL
        std::string("AB") + '\0' + "C",             // ends in a letter
        "x",                                        // one character that is not NUL
        std::string("Reader") + '\0' + '\0' + "Z"}; // a stray letter after the end
    for (const std::string& buffer : cases) {
        TNames list = {"left over"};
        EXPECT_EQ(Split(buffer, list), -1) << buffer.size();
        EXPECT_TRUE(list.empty()) << buffer.size();
    }
}

TEST(MultiStringToList, AMissingListGivesMinusOne) {
    const std::string buffer = std::string("A") + '\0' + '\0';
    EXPECT_EQ(MultiStringToList(buffer.data(), buffer.size(), nullptr), -1);
}

// A name cut to 255 characters would no longer name its reader.
TEST(MultiStringToList, ANameOver255CharactersIsKeptWhole) {
    const std::string longName(300, 'N');
    TNames list;
    EXPECT_EQ(Split(longName + '\0' + "B" + '\0' + '\0', list), 0);
    EXPECT_EQ(list, (TNames{longName, "B"}));
}
