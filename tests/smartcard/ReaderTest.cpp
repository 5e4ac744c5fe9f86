#include "smartcard/Reader.h"
#include "FakePcsc.h"

#include "MainThreadPump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

pcsc::TReaderState StateWith(DWORD event, DWORD atrLength = 0) {
    pcsc::TReaderState state{};
    state.dwEventState = event;
    state.cbAtr = atrLength;
    return state;
}

const std::vector<std::uint8_t> kAtrT1 = {0x3B, 0x80, 0x80, 0x01, 0x01};

} // namespace

// ------------------------------------------------------------ card-state codes

TEST(CardStateCode, EveryEventStateRowGivesItsCode) {
    const DWORD P = SCARD_STATE_PRESENT;
    EXPECT_EQ(CardStateFromReaderState(StateWith(P | SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE)),
              csExclusive);
    EXPECT_EQ(CardStateFromReaderState(StateWith(P | SCARD_STATE_EXCLUSIVE | SCARD_STATE_MUTE)),
              csExclusive);
    EXPECT_EQ(CardStateFromReaderState(StateWith(P | SCARD_STATE_INUSE | SCARD_STATE_MUTE)),
              csShared);
    EXPECT_EQ(CardStateFromReaderState(StateWith(P | SCARD_STATE_MUTE)), csBadCard);
    EXPECT_EQ(CardStateFromReaderState(StateWith(P)), csAvailable);
    EXPECT_EQ(CardStateFromReaderState(StateWith(SCARD_STATE_EMPTY)), csNoCard);
    EXPECT_EQ(CardStateFromReaderState(StateWith(SCARD_STATE_EMPTY, 4)), csNoCard);
    EXPECT_EQ(CardStateFromReaderState(StateWith(SCARD_STATE_UNAVAILABLE)), csNoCard);
    EXPECT_EQ(CardStateFromReaderState(StateWith(SCARD_STATE_UNAVAILABLE, 4)), csUnknown);
    // Only the named bits count: CHANGED and the event counter do not.
    EXPECT_EQ(CardStateFromReaderState(StateWith(P | SCARD_STATE_CHANGED | 0x00050000)),
              csAvailable);
}

// A reader object whose binding is not loaded: its watcher never reports, so
// the test drives UpdateCardState itself.
class ReaderObjectTest : public ::testing::Test {
protected:
    void SetUp() override { mainthread::Adopt(); }
    TPCSCRaw Unloaded;
};

TEST_F(ReaderObjectTest, StartsUnknownAndNotConnected) {
    TReaderObject reader("Reader A", Unloaded);
    EXPECT_EQ(reader.ReaderName, "Reader A");
    EXPECT_EQ(reader.CardState, csUnknown);
    EXPECT_EQ(reader.CardHandle, pcsc::kNoCardHandle);
    EXPECT_EQ(reader.Protocol, ptNone);
    EXPECT_TRUE(reader.ATR.empty());
}

TEST_F(ReaderObjectTest, OneEventPerChangeOfCodeAndTheAtrKeptOnEmptyReports) {
    TReaderObject reader("Reader A", Unloaded);
    int events = 0;
    reader.OnCardStateChanged = [&](TReaderObject* sender) {
        EXPECT_EQ(sender, &reader);
        ++events;
    };
    reader.ReaderState = StateWith(SCARD_STATE_PRESENT, 4);
    const std::uint8_t atr[] = {0x3B, 0x02, 0x14, 0x50};
    std::memcpy(reader.ReaderState.rgbAtr, atr, sizeof(atr));
    reader.UpdateCardState();
    EXPECT_EQ(reader.CardState, csAvailable);
    EXPECT_EQ(reader.ATR, "3B 02 14 50 ");
    EXPECT_EQ(events, 1);

    reader.UpdateCardState(); // same code again
    EXPECT_EQ(events, 1);

    reader.ReaderState = StateWith(SCARD_STATE_PRESENT | SCARD_STATE_INUSE, 0);
    reader.UpdateCardState();
    EXPECT_EQ(reader.CardState, csShared);
    EXPECT_EQ(reader.ATR, "3B 02 14 50 ") << "a report without ATR keeps the text";
    EXPECT_EQ(events, 2);
}

// A card taken out and another put in between two reports leaves the same
// code but two more events on the reader's counter: told as the removal and
// the insertion it was. A counter that moved while the reader stayed empty,
// or one not kept (0), tells nothing.
TEST_F(ReaderObjectTest, ACardSwappedBetweenTwoReportsIsSeenByTheEventCounter) {
    TReaderObject reader("Reader A", Unloaded);
    std::vector<std::uint8_t> seen;
    reader.OnCardStateChanged = [&](TReaderObject* sender) { seen.push_back(sender->CardState); };
    reader.ReaderState = StateWith(SCARD_STATE_PRESENT | 0x00010000);
    reader.UpdateCardState();
    reader.CardHandle = 1234;
    reader.ReaderState = StateWith(SCARD_STATE_PRESENT | 0x00030000);
    reader.UpdateCardState();
    EXPECT_EQ(seen, (std::vector<std::uint8_t>{csAvailable, csNoCard, csAvailable}));
    EXPECT_EQ(reader.CardHandle, pcsc::kNoCardHandle);

    reader.UpdateCardState(); // the same count again: nothing new
    reader.ReaderState = StateWith(SCARD_STATE_PRESENT);
    reader.UpdateCardState();
    EXPECT_EQ(seen.size(), 3u);
    reader.ReaderState = StateWith(SCARD_STATE_EMPTY | 0x00040000);
    reader.UpdateCardState();
    reader.ReaderState = StateWith(SCARD_STATE_EMPTY | 0x00060000);
    reader.UpdateCardState();
    EXPECT_EQ(seen, (std::vector<std::uint8_t>{csAvailable, csNoCard, csAvailable, csNoCard}));
}

TEST_F(ReaderObjectTest, NoCardForgetsTheConnectionBeforeTheHandlerRuns) {
    TReaderObject reader("Reader A", Unloaded);
    reader.CardHandle = 1234;
    SCARDHANDLE seen = 0;
    reader.OnCardStateChanged = [&](TReaderObject* sender) { seen = sender->CardHandle; };
    reader.ReaderState = StateWith(SCARD_STATE_EMPTY);
    reader.UpdateCardState();
    EXPECT_EQ(reader.CardState, csNoCard);
    EXPECT_EQ(seen, pcsc::kNoCardHandle);
}

TEST_F(ReaderObjectTest, AtrTextIsUpperCasePairsEachFollowedByABlank) {
    TReaderObject reader("Reader A", Unloaded);
    const std::uint8_t one[] = {0x0A};
    reader.UpdateATR(one, 1);
    EXPECT_EQ(reader.ATR, "0A ");
    const std::uint8_t many[] = {0xff, 0x00, 0xab};
    reader.UpdateATR(many, 3);
    EXPECT_EQ(reader.ATR, "FF 00 AB ");
    reader.UpdateATR(many, 0);
    EXPECT_EQ(reader.ATR, "");
}

// ------------------------------------------------- against the fake library

class FakeReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        mainthread::Adopt();
        fakepcsc::Reset();
        ASSERT_EQ(PCSC.Load(FAKEPCSC_PATH), 0);
        ASSERT_EQ(PCSC.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &Context), 0u);
    }
    void TearDown() override {
        PCSC.ReleaseContext(Context);
        PCSC.Unload();
    }
    TPCSCRaw PCSC;
    SCARDCONTEXT Context = 0;
};

TEST_F(FakeReaderTest, ConnectPassesTheNameCutTo254AndTheProtocolsByShareMode) {
    const std::string longName(300, 'R');
    fakepcsc::AddReader(longName.substr(0, 254));
    fakepcsc::InsertCard(longName.substr(0, 254), kAtrT1, fakepcsc::TProtocol::T1);
    TReaderObject reader(longName, PCSC);
    fakepcsc::ClearCalls();

    ASSERT_EQ(reader.Connect(PCSC, Context, SCARD_SHARE_SHARED), 0u);
    auto calls = fakepcsc::Calls("SCardConnect");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Reader, longName.substr(0, 254));
    EXPECT_EQ(calls[0].Context, Context);
    EXPECT_EQ(calls[0].ShareMode, static_cast<std::uint64_t>(SCARD_SHARE_SHARED));
    EXPECT_EQ(calls[0].Protocols,
              static_cast<std::uint64_t>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(reader.Protocol, ptT1);
    EXPECT_NE(reader.CardHandle, pcsc::kNoCardHandle);

    // Connected already: nothing is called.
    EXPECT_EQ(reader.Connect(PCSC, Context, SCARD_SHARE_SHARED), 0u);
    EXPECT_EQ(fakepcsc::Calls("SCardConnect").size(), 1u);

    ASSERT_EQ(reader.Disconnect(PCSC), 0u);
    calls = fakepcsc::Calls("SCardDisconnect");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Disposition, static_cast<std::uint64_t>(SCARD_UNPOWER_CARD));
    EXPECT_EQ(reader.CardHandle, pcsc::kNoCardHandle);
    EXPECT_EQ(reader.Protocol, ptNone);
    // Not connected: nothing is called.
    EXPECT_EQ(reader.Disconnect(PCSC), 0u);
    EXPECT_EQ(fakepcsc::Calls("SCardDisconnect").size(), 1u);

    fakepcsc::ClearCalls();
    fakepcsc::ForceResult("SCardConnect", 0); // no forcing; direct mode next
    reader.Connect(PCSC, Context, SCARD_SHARE_DIRECT);
    calls = fakepcsc::Calls("SCardConnect");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].ShareMode, static_cast<std::uint64_t>(SCARD_SHARE_DIRECT));
    EXPECT_EQ(calls[0].Protocols, 0u);
    reader.Disconnect(PCSC);

    fakepcsc::ClearCalls();
    reader.Connect(PCSC, Context, SCARD_SHARE_EXCLUSIVE);
    calls = fakepcsc::Calls("SCardConnect");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Protocols,
              static_cast<std::uint64_t>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    reader.Disconnect(PCSC);
}

TEST_F(FakeReaderTest, TransmitSendsTheRecordOfTheActiveProtocol) {
    struct TCase {
        fakepcsc::TProtocol Protocol;
        std::uint8_t Code;
        DWORD PciProtocol;
    };
    for (const TCase& c : {TCase{fakepcsc::TProtocol::T0, ptT0, SCARD_PROTOCOL_T0},
                           TCase{fakepcsc::TProtocol::T1, ptT1, SCARD_PROTOCOL_T1}}) {
        fakepcsc::Reset();
        fakepcsc::AddReader("R");
        fakepcsc::InsertCard("R", kAtrT1, c.Protocol, [](const std::vector<std::uint8_t>&) {
            return std::vector<std::uint8_t>{0x01, 0x90, 0x00};
        });
        SCARDCONTEXT context = 0;
        ASSERT_EQ(PCSC.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), 0u);
        TReaderObject reader("R", PCSC);
        ASSERT_EQ(reader.Connect(PCSC, context, SCARD_SHARE_SHARED), 0u);
        EXPECT_EQ(reader.Protocol, c.Code);
        const std::uint8_t command[] = {0x00, 0xB0, 0x00, 0x00, 0x01};
        std::uint8_t answer[261];
        DWORD length = sizeof(answer);
        ASSERT_EQ(reader.Transmit(PCSC, command, sizeof(command), answer, &length), 0u);
        EXPECT_EQ(length, 3u);
        const auto calls = fakepcsc::Calls("SCardTransmit");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].PciProtocol, static_cast<std::uint64_t>(c.PciProtocol));
        EXPECT_EQ(calls[0].PciLength, sizeof(SCARD_IO_REQUEST));
        EXPECT_EQ(calls[0].Data, std::vector<std::uint8_t>(command, command + sizeof(command)));
        reader.Disconnect(PCSC);
        PCSC.ReleaseContext(context);
    }
}

TEST_F(FakeReaderTest, RawProtocolRefusesEveryTransmitWithoutCallingTheService) {
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtrT1, fakepcsc::TProtocol::Raw);
    TReaderObject reader("R", PCSC);
    ASSERT_EQ(reader.Connect(PCSC, Context, SCARD_SHARE_SHARED), 0u);
    EXPECT_EQ(reader.Protocol, ptRaw);
    std::uint8_t answer[261];
    DWORD length = sizeof(answer);
    const std::uint8_t command[] = {0x00, 0xA4};
    EXPECT_EQ(reader.Transmit(PCSC, command, 2, answer, &length), 87u);
    EXPECT_TRUE(fakepcsc::Calls("SCardTransmit").empty());
    reader.Disconnect(PCSC);
}

TEST_F(FakeReaderTest, AFailedDisconnectStillForgetsTheConnection) {
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtrT1, fakepcsc::TProtocol::T0);
    TReaderObject reader("R", PCSC);
    ASSERT_EQ(reader.Connect(PCSC, Context, SCARD_SHARE_SHARED), 0u);
    fakepcsc::ForceResult("SCardDisconnect", 0x80100069u);
    EXPECT_EQ(reader.Disconnect(PCSC), 0x80100069u);
    EXPECT_EQ(reader.CardHandle, pcsc::kNoCardHandle);
    EXPECT_EQ(reader.Protocol, ptNone);
}

TEST_F(FakeReaderTest, AFailedConnectLeavesTheObjectNotConnected) {
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtrT1, fakepcsc::TProtocol::T1);
    fakepcsc::SetCardExclusive("R", true);
    TReaderObject reader("R", PCSC);
    EXPECT_NE(reader.Connect(PCSC, Context, SCARD_SHARE_SHARED), 0u);
    EXPECT_EQ(reader.CardHandle, pcsc::kNoCardHandle);
}

TEST_F(FakeReaderTest, TheWatcherReportsOnceAtStartAndOncePerChange) {
    fakepcsc::AddReader("R");
    TReaderObject reader("R", PCSC);
    std::vector<std::uint8_t> states;
    reader.OnCardStateChanged = [&](TReaderObject* sender) { states.push_back(sender->CardState); };
    ASSERT_TRUE(PumpUntil([&] { return !states.empty(); }));
    EXPECT_EQ(states, std::vector<std::uint8_t>{csNoCard});

    fakepcsc::InsertCard("R", kAtrT1, fakepcsc::TProtocol::T1);
    ASSERT_TRUE(PumpUntil([&] { return states.size() == 2; }));
    EXPECT_EQ(states.back(), csAvailable);
    EXPECT_EQ(reader.ATR, "3B 80 80 01 01 ");

    fakepcsc::SetCardExclusive("R", true);
    ASSERT_TRUE(PumpUntil([&] { return states.size() == 3; }));
    EXPECT_EQ(states.back(), csExclusive);

    fakepcsc::RemoveCard("R");
    ASSERT_TRUE(PumpUntil([&] { return states.size() == 4; }));
    EXPECT_EQ(states.back(), csNoCard);
    PumpFor(50ms);
    EXPECT_EQ(states.size(), 4u) << "a report without change raised an event";
}

TEST_F(FakeReaderTest, FreeingAReaderObjectEndsItsWatcherAtOnceAndReleasesItsContext) {
    fakepcsc::AddReader("R");
    const int before = fakepcsc::OpenContexts();
    auto reader = std::make_unique<TReaderObject>("R", PCSC);
    ASSERT_TRUE(PumpUntil([&] { return reader->CardState == csNoCard; }));
    EXPECT_EQ(fakepcsc::OpenContexts(), before + 1);
    const auto start = std::chrono::steady_clock::now();
    reader.reset();
    // The cancel ends the wait at once.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(fakepcsc::OpenContexts(), before);
    EXPECT_FALSE(fakepcsc::Calls("SCardCancel").empty());
}

// The watcher's wait has no time-out: a stop whose cancel comes after the
// watcher looked at its flag but before its wait began is lost there, as with
// pcsc-lite, and only a cancel repeated by the stop ends the wait.
TEST_F(FakeReaderTest, AStopJustBeforeTheWaitBeginsStillEndsTheWatcherPromptly) {
    fakepcsc::AddReader("R");
    std::atomic<int> waits{0};
    std::atomic<bool> inGap{false};
    fakepcsc::BeforeCall("SCardGetStatusChange", [&] {
        if (++waits != 2) {
            return;
        }
        inGap = true;
        // Hold the watcher here until the stop's first cancel has come and gone.
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (fakepcsc::Calls("SCardCancel").empty() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
    });
    auto reader = std::make_unique<TReaderObject>("R", PCSC);
    ASSERT_TRUE(PumpUntil([&] { return inGap.load(); }));

    // Should the stop hang, the service going down ends the wait, so that the
    // test fails instead of hanging.
    std::mutex mutex;
    std::condition_variable stopped;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!stopped.wait_for(lock, 5s, [&] { return done; })) {
            fakepcsc::SetServiceUp(false);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    reader.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    stopped.notify_all();
    watchdog.join();
    EXPECT_LT(took, 2s);
    EXPECT_GE(fakepcsc::Calls("SCardCancel").size(), 2u) << "the first cancel was not lost";
}

TEST_F(FakeReaderTest, WithTheServiceDownTheWatcherPausesInsteadOfSpinning) {
    fakepcsc::AddReader("R");
    fakepcsc::SetServiceUp(false);
    {
        TReaderObject reader("R", PCSC);
        fakepcsc::ClearCalls();
        PumpFor(600ms);
        // Spinning would make thousands of calls; pausing 250 ms makes a few.
        EXPECT_LE(fakepcsc::Calls("SCardGetStatusChange").size(), 6u);
    }
    fakepcsc::SetServiceUp(true);
}

TEST(UnloadedWatchers, RunUntilToldToStopAndReleaseNothing) {
    mainthread::Adopt();
    fakepcsc::Reset();
    TPCSCRaw unloaded;
    bool reported = false;
    {
        TReaderListThread list(unloaded);
        list.OnReaderListChanged = [&] { reported = true; };
        list.Start();
        TReaderObject reader("R", unloaded);
        PumpFor(300ms);
    }
    EXPECT_FALSE(reported);
    EXPECT_TRUE(fakepcsc::Calls().empty());
}

TEST_F(FakeReaderTest, TheReaderListWatcherReportsAtStartAndForEveryChange) {
    TReaderListThread watcher(PCSC);
    int reports = 0;
    watcher.OnReaderListChanged = [&] { ++reports; };
    watcher.Start();
    ASSERT_TRUE(PumpUntil([&] { return reports == 1; }));
    PumpFor(300ms);
    EXPECT_EQ(reports, 1) << "nothing changed, yet the watcher reported";

    fakepcsc::AddReader("R1");
    ASSERT_TRUE(PumpUntil([&] { return reports >= 2; }));
    const int afterAdd = reports;
    fakepcsc::RemoveReader("R1");
    ASSERT_TRUE(PumpUntil([&] { return reports > afterAdd; }));
}

// Where the service counts the readers (Windows), a reader swapped for another
// between two waits leaves the count as it was: the names still tell.
TEST_F(FakeReaderTest, AReaderSwappedBetweenTwoListWaitsIsStillReported) {
    fakepcsc::SetPnpBehaviour(fakepcsc::TPnpBehaviour::Windows);
    fakepcsc::AddReader("A");
    std::atomic<int> waits{0};
    fakepcsc::BeforeCall("SCardGetStatusChange", [&] {
        if (++waits == 2) {
            fakepcsc::RemoveReader("A");
            fakepcsc::AddReader("B");
        }
    });
    TReaderListThread watcher(PCSC);
    int reports = 0;
    watcher.OnReaderListChanged = [&] { ++reports; };
    watcher.Start();
    ASSERT_TRUE(PumpUntil([&] { return reports >= 1 && waits >= 2; }));
    EXPECT_TRUE(PumpUntil([&] { return reports >= 2; }, std::chrono::seconds(4)))
        << "the swapped reader was never reported";
}

// Windows' Smart Card service stops with the last reader, killing every
// context, and starts again with the next one: both watchers must take new
// contexts and see the reader and its card again.
TEST_F(FakeReaderTest, WatchersRenewTheirContextsWhenTheServiceStopsWithTheLastReader) {
    fakepcsc::SetServiceStopsWithLastReader(true);
    fakepcsc::AddReader("R");
    TReaderListThread watcher(PCSC);
    int reports = 0;
    watcher.OnReaderListChanged = [&] { ++reports; };
    watcher.Start();
    TReaderObject reader("R", PCSC);
    std::vector<std::uint8_t> states;
    reader.OnCardStateChanged = [&](TReaderObject* sender) { states.push_back(sender->CardState); };
    ASSERT_TRUE(PumpUntil([&] { return reports == 1 && !states.empty(); }));

    fakepcsc::RemoveReader("R");
    ASSERT_TRUE(PumpUntil([&] { return reports >= 2; }));
    const int whileStopped = reports;
    fakepcsc::ClearCalls();
    fakepcsc::AddReader("R");
    fakepcsc::InsertCard("R", kAtrT1, fakepcsc::TProtocol::T1);
    ASSERT_TRUE(PumpUntil([&] { return reports > whileStopped; }));
    ASSERT_TRUE(PumpUntil([&] { return !states.empty() && states.back() == csAvailable; }));
    int renewed = 0;
    for (const fakepcsc::TCall& call : fakepcsc::Calls("SCardEstablishContext")) {
        renewed += call.Result == 0 ? 1 : 0;
    }
    EXPECT_GE(renewed, 2) << "each watcher needs a context of its own after the restart";
}
