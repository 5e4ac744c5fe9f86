// The in-memory PC/SC library, called through its exported functions: what
// the watcher and window tests rely on.
#include "FakePcsc.h"

#include "smartcard/PcscDef.h"

#include <gtest/gtest.h>

#include <chrono>
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <future>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The bound of a wait that an event is to end: long enough never to be reached
// unless the event failed to wake the wait.
constexpr DWORD kEndedByEvent = 10000;
constexpr DWORD kShort = 30;

const char kPnp[] = "\\\\?PnP?\\Notification";
const std::vector<std::uint8_t> kAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};
// pcsc-lite's own SCARD_PCI_T0 and SCARD_PCI_T1 live in libpcsclite, which is not linked.
const SCARD_IO_REQUEST kPciT0{SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST kPciT1{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};

SCARD_READERSTATE Watch(const char* reader, DWORD current = SCARD_STATE_UNAWARE) {
    SCARD_READERSTATE state{};
    state.szReader = reader;
    state.dwCurrentState = current;
    return state;
}

DWORD LowWord(DWORD state) {
    return state & 0xFFFF;
}

DWORD HighWord(DWORD state) {
    return (state >> 16) & 0xFFFF;
}

struct TOutcome {
    LONG Result = SCARD_S_SUCCESS;
    // False when the wait ran to its bound: what should have woken it did not.
    bool Woken = false;
};

// Runs a status-change wait that an event is to end on another thread.
std::future<TOutcome> WaitAsync(SCARDCONTEXT context, SCARD_READERSTATE& state) {
    return std::async(std::launch::async, [context, &state] {
        const auto start = std::chrono::steady_clock::now();
        const LONG result = SCardGetStatusChange(context, kEndedByEvent, &state, 1);
        const auto waited = std::chrono::steady_clock::now() - start;
        return TOutcome{result, waited < std::chrono::milliseconds(kEndedByEvent / 2)};
    });
}

void ExpectWoken(std::future<TOutcome>& wait, LONG expected) {
    const TOutcome outcome = wait.get();
    EXPECT_EQ(outcome.Result, expected);
    EXPECT_TRUE(outcome.Woken) << "the wait ran to its bound";
}

class FakePcscTest : public ::testing::Test {
protected:
    void SetUp() override { fakepcsc::Reset(); }

    static SCARDCONTEXT Establish() {
        SCARDCONTEXT context = 0;
        EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
                  SCARD_S_SUCCESS);
        return context;
    }
};

} // namespace

// ------------------------------------------------------------------ contexts

TEST_F(FakePcscTest, ContextsAreDistinctAndDieWhenReleased) {
    const SCARDCONTEXT first = Establish();
    const SCARDCONTEXT second = Establish();
    EXPECT_NE(first, 0);
    EXPECT_NE(second, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(fakepcsc::OpenContexts(), 2);

    EXPECT_EQ(SCardReleaseContext(first), SCARD_S_SUCCESS);
    EXPECT_EQ(fakepcsc::OpenContexts(), 1);
    DWORD length = 0;
    EXPECT_EQ(SCardListReaders(first, nullptr, nullptr, &length), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardReleaseContext(first), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardCancel(first), SCARD_E_INVALID_HANDLE);

    const auto calls = fakepcsc::Calls("SCardEstablishContext");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Scope, static_cast<std::uint64_t>(SCARD_SCOPE_SYSTEM));
    EXPECT_EQ(calls[0].Handle, static_cast<std::uint64_t>(first));
}

TEST_F(FakePcscTest, ResetInvalidatesEverythingFromBefore) {
    const SCARDCONTEXT old = Establish();
    fakepcsc::AddReader("R");
    fakepcsc::Reset();
    EXPECT_EQ(fakepcsc::OpenContexts(), 0);
    EXPECT_TRUE(fakepcsc::Calls().empty());
    DWORD length = 0;
    EXPECT_EQ(SCardListReaders(old, nullptr, nullptr, &length), SCARD_E_INVALID_HANDLE);
    const SCARDCONTEXT fresh = Establish();
    EXPECT_NE(fresh, old) << "a handle of an earlier test came back to life";
    EXPECT_EQ(SCardListReaders(fresh, nullptr, nullptr, &length), SCARD_E_NO_READERS_AVAILABLE);
}

// ------------------------------------------------------------------- service

TEST_F(FakePcscTest, ContextsMadeBeforeTheServiceWentDownStayDead) {
    const SCARDCONTEXT before = Establish();
    fakepcsc::SetServiceUp(false);
    SCARDCONTEXT during = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &during),
              SCARD_E_NO_SERVICE);
    DWORD length = 0;
    EXPECT_EQ(SCardListReaders(before, nullptr, nullptr, &length), SCARD_E_NO_SERVICE);

    fakepcsc::SetServiceUp(true);
    fakepcsc::AddReader("R");
    EXPECT_EQ(SCardListReaders(before, nullptr, nullptr, &length), SCARD_E_NO_SERVICE);
    SCARD_READERSTATE state = Watch("R");
    EXPECT_EQ(SCardGetStatusChange(before, 0, &state, 1), SCARD_E_NO_SERVICE);

    const SCARDCONTEXT after = Establish();
    EXPECT_EQ(SCardListReaders(after, nullptr, nullptr, &length), SCARD_S_SUCCESS);

    // Releasing the dead context fails, yet it is gone.
    EXPECT_EQ(SCardReleaseContext(before), SCARD_E_NO_SERVICE);
    EXPECT_EQ(fakepcsc::OpenContexts(), 1);
}

TEST_F(FakePcscTest, TheServiceGoingDownEndsABlockedWait) {
    fakepcsc::AddReader("R");
    const SCARDCONTEXT context = Establish();
    SCARD_READERSTATE state = Watch("R", SCARD_STATE_EMPTY);
    auto wait = WaitAsync(context, state);
    std::this_thread::sleep_for(20ms);
    fakepcsc::SetServiceUp(false);
    ExpectWoken(wait, SCARD_E_NO_SERVICE);
}

// Windows' service, switched on here on both platforms: the last reader takes
// it down, the next one brings it up, and only new contexts work then.
TEST_F(FakePcscTest, AServiceThatStopsWithTheLastReaderComesBackWithTheNext) {
    fakepcsc::SetServiceStopsWithLastReader(true);
    fakepcsc::AddReader("R");
    const SCARDCONTEXT before = Establish();
    SCARD_READERSTATE state = Watch("R", SCARD_STATE_EMPTY);
    auto wait = WaitAsync(before, state);
    std::this_thread::sleep_for(20ms);
    fakepcsc::RemoveReader("R");
    ExpectWoken(wait, SCARD_E_NO_SERVICE);
    SCARDCONTEXT during = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &during),
              SCARD_E_NO_SERVICE);

    fakepcsc::AddReader("R");
    DWORD length = 0;
    EXPECT_EQ(SCardListReaders(before, nullptr, nullptr, &length), SCARD_E_NO_SERVICE);
    const SCARDCONTEXT after = Establish();
    EXPECT_EQ(SCardListReaders(after, nullptr, nullptr, &length), SCARD_S_SUCCESS);

    // Switched off, the service outlives its last reader, as pcscd does.
    fakepcsc::SetServiceStopsWithLastReader(false);
    fakepcsc::RemoveReader("R");
    EXPECT_EQ(SCardListReaders(after, nullptr, nullptr, &length), SCARD_E_NO_READERS_AVAILABLE);
}

// ------------------------------------------------------------- reader listing

TEST_F(FakePcscTest, ListReadersGivesTheNamesInTheOrderAdded) {
    const SCARDCONTEXT context = Establish();
    DWORD length = 0;
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_EQ(length, 1u);

    const std::string names[] = {"Zeta Reader 0", "alpha", "Alpha"};
    std::string expected;
    for (const std::string& name : names) {
        fakepcsc::AddReader(name);
        expected += name;
        expected.push_back('\0');
    }
    expected.push_back('\0');
    fakepcsc::AddReader("alpha"); // there already

    length = 0;
    ASSERT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_S_SUCCESS);
    ASSERT_EQ(length, expected.size());

    std::string buffer(expected.size() - 1, 'x');
    DWORD small = buffer.size();
    EXPECT_EQ(SCardListReaders(context, nullptr, buffer.data(), &small),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, expected.size());

    buffer.assign(expected.size() + 4, 'x');
    length = buffer.size();
    ASSERT_EQ(SCardListReaders(context, nullptr, buffer.data(), &length), SCARD_S_SUCCESS);
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(buffer.substr(0, length), expected);

    fakepcsc::RemoveReader("ALPHA"); // names are case-sensitive: nothing goes
    fakepcsc::RemoveReader("alpha");
    length = 0;
    ASSERT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(length, names[0].size() + 1 + names[2].size() + 1 + 1);
}

// ------------------------------------------------------------ status changes

TEST_F(FakePcscTest, AnUnawareWaitReturnsTheStateAtOnce) {
    fakepcsc::AddReader("Empty");
    fakepcsc::AddReader("Full");
    fakepcsc::InsertCard("Full", kAtr);
    const SCARDCONTEXT context = Establish();

    SCARD_READERSTATE states[] = {Watch("Empty"), Watch("Full")};
    ASSERT_EQ(SCardGetStatusChange(context, kEndedByEvent, states, 2), SCARD_S_SUCCESS);
    EXPECT_EQ(LowWord(states[0].dwEventState), DWORD{SCARD_STATE_EMPTY | SCARD_STATE_CHANGED});
    EXPECT_EQ(states[0].cbAtr, 0u);
    EXPECT_EQ(LowWord(states[1].dwEventState), DWORD{SCARD_STATE_PRESENT | SCARD_STATE_CHANGED});
    ASSERT_EQ(states[1].cbAtr, kAtr.size());
    EXPECT_EQ(std::vector<std::uint8_t>(states[1].rgbAtr, states[1].rgbAtr + states[1].cbAtr),
              kAtr);
}

TEST_F(FakePcscTest, AnUnknownReaderIsRefusedAtOnce) {
    fakepcsc::AddReader("R");
    const SCARDCONTEXT context = Establish();
    SCARD_READERSTATE state = Watch("r");
    EXPECT_EQ(SCardGetStatusChange(context, kEndedByEvent, &state, 1), SCARD_E_UNKNOWN_READER);
}

TEST_F(FakePcscTest, AWaitWithNothingNewRunsOutAndOneWithAChangeWakesUp) {
    fakepcsc::AddReader("R");
    const SCARDCONTEXT context = Establish();
    // CHANGED and the counter word are not part of the state that is compared.
    SCARD_READERSTATE state = Watch("R", SCARD_STATE_EMPTY | SCARD_STATE_CHANGED);
    EXPECT_EQ(SCardGetStatusChange(context, kShort, &state, 1), SCARD_E_TIMEOUT);

    auto wait = WaitAsync(context, state);
    std::this_thread::sleep_for(20ms);
    fakepcsc::InsertCard("R", kAtr);
    ExpectWoken(wait, SCARD_S_SUCCESS);
    EXPECT_EQ(LowWord(state.dwEventState), DWORD{SCARD_STATE_PRESENT | SCARD_STATE_CHANGED});

    // Connecting shows as INUSE to every watcher.
    state.dwCurrentState = state.dwEventState;
    SCARDHANDLE card = 0;
    DWORD active = 0;
    ASSERT_EQ(SCardConnect(context, "R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active),
              SCARD_S_SUCCESS);
    ASSERT_EQ(SCardGetStatusChange(context, kEndedByEvent, &state, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(LowWord(state.dwEventState),
              DWORD{SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_CHANGED});
}

TEST_F(FakePcscTest, ACardThatCameAndWentBetweenTwoWaitsShowsInTheEventCounter) {
    fakepcsc::AddReader("R");
    const SCARDCONTEXT context = Establish();
    SCARD_READERSTATE state = Watch("R");
    ASSERT_EQ(SCardGetStatusChange(context, kShort, &state, 1), SCARD_S_SUCCESS);
    state.dwCurrentState = state.dwEventState;
    const DWORD before = HighWord(state.dwEventState);

    // A counter of 0 passed in is not compared, as with pcsc-lite.
    fakepcsc::InsertCard("R", kAtr);
    fakepcsc::RemoveCard("R");
    ASSERT_EQ(before, 0u);
    ASSERT_EQ(SCardGetStatusChange(context, kShort, &state, 1), SCARD_E_TIMEOUT);
    EXPECT_EQ(LowWord(state.dwEventState), DWORD{SCARD_STATE_EMPTY});
    EXPECT_EQ(HighWord(state.dwEventState), before + 2);

    // Passing a counter back makes the next wait notice the visit.
    state.dwCurrentState = state.dwEventState;
    fakepcsc::InsertCard("R", kAtr);
    fakepcsc::RemoveCard("R");
    ASSERT_EQ(SCardGetStatusChange(context, kShort, &state, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(LowWord(state.dwEventState), DWORD{SCARD_STATE_EMPTY | SCARD_STATE_CHANGED});
    EXPECT_EQ(HighWord(state.dwEventState), before + 4);
}

TEST_F(FakePcscTest, CardStatesShowExclusiveMuteAndRemoval) {
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtr);
    const SCARDCONTEXT context = Establish();
    SCARD_READERSTATE state = Watch("R");
    ASSERT_EQ(SCardGetStatusChange(context, 0, &state, 1), SCARD_S_SUCCESS);

    const auto next = [&] {
        state.dwCurrentState = state.dwEventState;
        EXPECT_EQ(SCardGetStatusChange(context, kEndedByEvent, &state, 1), SCARD_S_SUCCESS);
        return LowWord(state.dwEventState) & ~DWORD{SCARD_STATE_CHANGED};
    };
    fakepcsc::SetCardExclusive("R", true);
    EXPECT_EQ(next(), DWORD{SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE});
    fakepcsc::SetCardExclusive("R", false);
    EXPECT_EQ(next(), DWORD{SCARD_STATE_PRESENT});
    fakepcsc::SetCardMute("R", true);
    EXPECT_EQ(next(), DWORD{SCARD_STATE_PRESENT | SCARD_STATE_MUTE});
    EXPECT_EQ(state.cbAtr, 0u) << "a card that cannot be powered has no ATR";
    fakepcsc::RemoveCard("R");
    EXPECT_EQ(next(), DWORD{SCARD_STATE_EMPTY});

    EXPECT_THROW(fakepcsc::SetCardMute("R", false), std::invalid_argument);
    EXPECT_THROW(fakepcsc::InsertCard("Nowhere", kAtr), std::invalid_argument);
}

TEST_F(FakePcscTest, AReaderPulledDuringAWaitIsReportedUnknown) {
    fakepcsc::AddReader("R");
    // Another reader stays, so that Windows' service keeps running.
    fakepcsc::AddReader("Other");
    const SCARDCONTEXT context = Establish();
    SCARD_READERSTATE state = Watch("R", SCARD_STATE_EMPTY);
    auto wait = WaitAsync(context, state);
    std::this_thread::sleep_for(20ms);
    fakepcsc::RemoveReader("R");
    ExpectWoken(wait, SCARD_S_SUCCESS);
    EXPECT_EQ(state.dwEventState,
              DWORD{SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_CHANGED});
    EXPECT_EQ(SCardGetStatusChange(context, 0, &state, 1), SCARD_E_UNKNOWN_READER);
}

TEST_F(FakePcscTest, TheReaderListWatchReportsTheCountAndWakesOnEveryChange) {
    fakepcsc::SetPnpBehaviour(fakepcsc::TPnpBehaviour::Windows);
    const SCARDCONTEXT context = Establish();
    // Unaware: the answer comes at once, also with no reader at all.
    SCARD_READERSTATE state = Watch(kPnp);
    ASSERT_EQ(SCardGetStatusChange(context, kEndedByEvent, &state, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(HighWord(state.dwEventState), 0u);

    fakepcsc::AddReader("A");
    state = Watch(kPnp);
    ASSERT_EQ(SCardGetStatusChange(context, kEndedByEvent, &state, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(HighWord(state.dwEventState), 1u);

    state.dwCurrentState = state.dwEventState;
    EXPECT_EQ(SCardGetStatusChange(context, kShort, &state, 1), SCARD_E_TIMEOUT);

    auto wait = WaitAsync(context, state);
    std::this_thread::sleep_for(20ms);
    fakepcsc::AddReader("B");
    ExpectWoken(wait, SCARD_S_SUCCESS);
    EXPECT_EQ(HighWord(state.dwEventState), 2u);
    EXPECT_NE(state.dwEventState & SCARD_STATE_CHANGED, 0u);

    state.dwCurrentState = state.dwEventState;
    wait = WaitAsync(context, state);
    std::this_thread::sleep_for(20ms);
    fakepcsc::RemoveReader("A");
    ExpectWoken(wait, SCARD_S_SUCCESS);
    EXPECT_EQ(HighWord(state.dwEventState), 1u);
}

// ------------------------------------------------------------------ cancel

TEST_F(FakePcscTest, CancelEndsABlockedWaitOnThatContextOnly) {
    fakepcsc::AddReader("R");
    const SCARDCONTEXT watched = Establish();
    const SCARDCONTEXT other = Establish();
    SCARD_READERSTATE state = Watch("R", SCARD_STATE_EMPTY);
    SCARD_READERSTATE otherState = Watch("R", SCARD_STATE_EMPTY);

    auto wait = WaitAsync(watched, state);
    // Cancelling the other context leaves the wait alone.
    EXPECT_EQ(SCardCancel(other), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardGetStatusChange(other, kShort, &otherState, 1), SCARD_E_TIMEOUT);
    // A cancel that comes before the wait blocks is lost, so keep cancelling.
    while (wait.wait_for(2ms) != std::future_status::ready) {
        EXPECT_EQ(SCardCancel(watched), SCARD_S_SUCCESS);
    }
    ExpectWoken(wait, SCARD_E_CANCELLED);
}

TEST_F(FakePcscTest, ACancelBeforeTheWaitIsLost) {
    fakepcsc::AddReader("R");
    const SCARDCONTEXT context = Establish();
    ASSERT_EQ(SCardCancel(context), SCARD_S_SUCCESS);
    SCARD_READERSTATE state = Watch("R", SCARD_STATE_EMPTY);
    EXPECT_EQ(SCardGetStatusChange(context, kShort, &state, 1), SCARD_E_TIMEOUT);
}

// -------------------------------------------------------------- connections

TEST_F(FakePcscTest, ConnectRefusesWhatPcscLiteRefuses) {
    fakepcsc::AddReader("Empty");
    fakepcsc::AddReader("Taken");
    fakepcsc::AddReader("Mute");
    fakepcsc::InsertCard("Taken", kAtr);
    fakepcsc::SetCardExclusive("Taken", true);
    fakepcsc::InsertCard("Mute", kAtr);
    fakepcsc::SetCardMute("Mute", true);
    const SCARDCONTEXT context = Establish();
    SCARDHANDLE card = 0;
    DWORD active = 0;
    const DWORD any = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    EXPECT_EQ(SCardConnect(context, "None", SCARD_SHARE_SHARED, any, &card, &active),
              SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SCardConnect(context, "Empty", SCARD_SHARE_SHARED, any, &card, &active),
              SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(SCardConnect(context, "Taken", SCARD_SHARE_SHARED, any, &card, &active),
              SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(SCardConnect(context, "Mute", SCARD_SHARE_SHARED, any, &card, &active),
              SCARD_W_UNRESPONSIVE_CARD);
    EXPECT_EQ(fakepcsc::OpenCards(), 0);

    fakepcsc::SetCardExclusive("Taken", false);
    ASSERT_EQ(SCardConnect(context, "Taken", SCARD_SHARE_SHARED, any, &card, &active),
              SCARD_S_SUCCESS);
    SCARDHANDLE second = 0;
    EXPECT_EQ(SCardConnect(context, "Taken", SCARD_SHARE_EXCLUSIVE, any, &second, &active),
              SCARD_E_SHARING_VIOLATION);
    ASSERT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    ASSERT_EQ(SCardConnect(context, "Taken", SCARD_SHARE_EXCLUSIVE, any, &card, &active),
              SCARD_S_SUCCESS);
    EXPECT_EQ(SCardConnect(context, "Taken", SCARD_SHARE_SHARED, any, &second, &active),
              SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(fakepcsc::OpenCards(), 1);
}

TEST_F(FakePcscTest, TheActiveProtocolIsTheCards) {
    const std::pair<fakepcsc::TProtocol, DWORD> cases[] = {
        {fakepcsc::TProtocol::T0, SCARD_PROTOCOL_T0},
        {fakepcsc::TProtocol::T1, SCARD_PROTOCOL_T1},
        {fakepcsc::TProtocol::Raw, SCARD_PROTOCOL_RAW}};
    for (const auto& [protocol, expected] : cases) {
        fakepcsc::Reset();
        fakepcsc::AddReader("R");
        fakepcsc::InsertCard("R", kAtr, protocol);
        const SCARDCONTEXT context = Establish();
        SCARDHANDLE card = 0;
        DWORD active = 0;
        ASSERT_EQ(SCardConnect(context, "R", SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(active, expected);
        EXPECT_EQ(fakepcsc::Calls("SCardConnect").at(0).Handle, static_cast<std::uint64_t>(card));
    }
    // A T=1 card offered only T=0.
    fakepcsc::Reset();
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtr, fakepcsc::TProtocol::T1);
    const SCARDCONTEXT context = Establish();
    SCARDHANDLE card = 0;
    DWORD active = 0;
    EXPECT_EQ(SCardConnect(context, "R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &active),
              SCARD_E_PROTO_MISMATCH);
}

TEST_F(FakePcscTest, APulledCardFailsItsHandleAndDisconnectStillFreesIt) {
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtr, fakepcsc::TProtocol::T1);
    const SCARDCONTEXT context = Establish();
    SCARDHANDLE card = 0;
    DWORD active = 0;
    ASSERT_EQ(SCardConnect(context, "R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active),
              SCARD_S_SUCCESS);
    fakepcsc::RemoveCard("R");
    fakepcsc::InsertCard("R", kAtr, fakepcsc::TProtocol::T1); // another card, same reader
    const std::uint8_t command[] = {0x00, 0xA4, 0x00, 0x0C};
    std::uint8_t answer[16];
    DWORD length = sizeof(answer);
    EXPECT_EQ(SCardTransmit(card, &kPciT1, command, sizeof(command), nullptr, answer, &length),
              SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SCardDisconnect(card, SCARD_UNPOWER_CARD), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(fakepcsc::OpenCards(), 0);
    EXPECT_EQ(SCardDisconnect(card, SCARD_UNPOWER_CARD), SCARD_E_INVALID_HANDLE);
}

TEST_F(FakePcscTest, ReleasingAContextDropsItsCards) {
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtr);
    const SCARDCONTEXT context = Establish();
    SCARDHANDLE card = 0;
    DWORD active = 0;
    ASSERT_EQ(SCardConnect(context, "R", SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, &card, &active),
              SCARD_S_SUCCESS);
    ASSERT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
    EXPECT_EQ(fakepcsc::OpenCards(), 0);
    const SCARDCONTEXT next = Establish();
    EXPECT_EQ(SCardConnect(next, "R", SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, &card, &active),
              SCARD_S_SUCCESS)
        << "the exclusive hold outlived its context";
}

// ----------------------------------------------------------------- transmit

TEST_F(FakePcscTest, TransmitHandsTheCommandToTheCardAndCopiesItsAnswer) {
    fakepcsc::AddReader("R");
    std::vector<std::uint8_t> seen;
    int cardsWhileAnswering = -1;
    fakepcsc::InsertCard("R", kAtr, fakepcsc::TProtocol::T0,
                         [&](const std::vector<std::uint8_t>& command) {
                             seen = command;
                             // Reaching the service from the card proves the lock is free.
                             cardsWhileAnswering = fakepcsc::OpenCards();
                             std::vector<std::uint8_t> answer(command.rbegin(), command.rend());
                             answer.push_back(0x90);
                             answer.push_back(0x00);
                             return answer;
                         });
    const SCARDCONTEXT context = Establish();
    SCARDHANDLE card = 0;
    DWORD active = 0;
    ASSERT_EQ(SCardConnect(context, "R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &active),
              SCARD_S_SUCCESS);

    const std::vector<std::uint8_t> command = {0x00, 0xB0, 0x00, 0x10, 0x03};
    std::vector<std::uint8_t> expected(command.rbegin(), command.rend());
    expected.insert(expected.end(), {0x90, 0x00});

    std::uint8_t answer[32];
    DWORD length = sizeof(answer);
    SCARD_IO_REQUEST received{};
    ASSERT_EQ(
        SCardTransmit(card, &kPciT0, command.data(), command.size(), &received, answer, &length),
        SCARD_S_SUCCESS);
    EXPECT_EQ(seen, command);
    EXPECT_EQ(cardsWhileAnswering, 1);
    EXPECT_EQ(std::vector<std::uint8_t>(answer, answer + length), expected);
    EXPECT_EQ(received.dwProtocol, DWORD{SCARD_PROTOCOL_T0});

    const auto calls = fakepcsc::Calls("SCardTransmit");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Context, static_cast<std::uint64_t>(card));
    EXPECT_EQ(calls[0].PciProtocol, static_cast<std::uint64_t>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(calls[0].PciLength, sizeof(SCARD_IO_REQUEST));
    EXPECT_EQ(calls[0].Data, command);
    EXPECT_EQ(calls[0].Length, sizeof(answer));

    // Too small a buffer: the needed length comes back.
    length = expected.size() - 1;
    EXPECT_EQ(
        SCardTransmit(card, &kPciT0, command.data(), command.size(), nullptr, answer, &length),
        SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, expected.size());
    // The record of the other protocol, or none at all.
    length = sizeof(answer);
    EXPECT_EQ(
        SCardTransmit(card, &kPciT1, command.data(), command.size(), nullptr, answer, &length),
        SCARD_E_PROTO_MISMATCH);
    EXPECT_EQ(
        SCardTransmit(card, nullptr, command.data(), command.size(), nullptr, answer, &length),
        SCARD_E_INVALID_PARAMETER);
}

TEST_F(FakePcscTest, ACardWithoutAHandlerKnowsNoInstruction) {
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtr, fakepcsc::TProtocol::T1);
    const SCARDCONTEXT context = Establish();
    SCARDHANDLE card = 0;
    DWORD active = 0;
    ASSERT_EQ(SCardConnect(context, "R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active),
              SCARD_S_SUCCESS);
    const std::uint8_t command[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    std::uint8_t answer[8];
    DWORD length = sizeof(answer);
    ASSERT_EQ(SCardTransmit(card, &kPciT1, command, sizeof(command), nullptr, answer, &length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(std::vector<std::uint8_t>(answer, answer + length),
              (std::vector<std::uint8_t>{0x6D, 0x00}));
}

// ------------------------------------------------------------ forced results

TEST_F(FakePcscTest, AForcedResultReplacesTheCallUntilLifted) {
    fakepcsc::AddReader("R");
    const SCARDCONTEXT context = Establish();
    fakepcsc::ForceResult("SCardListReaders", SCARD_F_COMM_ERROR);
    DWORD length = 1234;
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_F_COMM_ERROR);
    EXPECT_EQ(length, 1234u) << "a forced call changed its output";
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_F_COMM_ERROR);
    const auto calls = fakepcsc::Calls("SCardListReaders");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Result, static_cast<std::uint32_t>(SCARD_F_COMM_ERROR));
    EXPECT_EQ(calls[1].Context, static_cast<std::uint64_t>(context));

    fakepcsc::ForceResult("SCardListReaders", 0);
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(length, 3u);
}

// ------------------------------------------------------------- the exports

#ifdef _WIN32
// The complete copy exports Windows' 21 names; the other lacks exactly
// SCardCancel, which is what makes the binding's load fail with 2.
TEST(FakePcscExports, TheCopiesExportWindowsNamesButOneLacksSCardCancel) {
    HMODULE complete = LoadLibraryA(FAKEPCSC_PATH);
    HMODULE noCancel = LoadLibraryA(FAKEPCSC_NO_CANCEL_PATH);
    ASSERT_NE(complete, nullptr);
    ASSERT_NE(noCancel, nullptr);
    for (const char* name : pcsc::kRequiredExports) {
        EXPECT_NE(GetProcAddress(complete, name), nullptr) << name;
        EXPECT_EQ(GetProcAddress(noCancel, name) != nullptr, std::string(name) != "SCardCancel")
            << name;
    }
    FreeLibrary(noCancel);
    FreeLibrary(complete);
}
#else
// The complete copy exports what pcsc-lite exports; the other lacks exactly
// SCardCancel, which is what makes the binding's load fail with 2.
TEST(FakePcscExports, TheCopiesExportPcscLitesNamesButOneLacksSCardCancel) {
    const char* const names[] = {
        "SCardBeginTransaction", "SCardCancel",         "SCardConnect",
        "SCardControl",          "SCardDisconnect",     "SCardEndTransaction",
        "SCardEstablishContext", "SCardFreeMemory",     "SCardGetAttrib",
        "SCardGetStatusChange",  "SCardListReaders",    "SCardListReaderGroups",
        "SCardReconnect",        "SCardReleaseContext", "SCardTransmit",
        "SCardSetAttrib",        "SCardStatus"};
    void* real = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    void* complete = dlopen(FAKEPCSC_PATH, RTLD_NOW | RTLD_LOCAL);
    void* noCancel = dlopen(FAKEPCSC_NO_CANCEL_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(real, nullptr) << dlerror();
    ASSERT_NE(complete, nullptr) << dlerror();
    ASSERT_NE(noCancel, nullptr) << dlerror();
    for (const char* name : names) {
        EXPECT_NE(dlsym(real, name), nullptr) << name;
        EXPECT_NE(dlsym(complete, name), nullptr) << name;
        EXPECT_EQ(dlsym(noCancel, name) != nullptr, std::string(name) != "SCardCancel") << name;
    }
    dlclose(noCancel);
    dlclose(complete);
    dlclose(real);
}
#endif
