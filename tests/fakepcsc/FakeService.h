// The in-memory PC/SC service behind both the exported SCard* functions and the
// control interface. One lock guards all of it; every change notifies
// `Changed`, which is what blocked status-change waits sleep on.
#pragma once

#include "FakePcsc.h"

#include "smartcard/PcscDef.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fakepcsc::detail {

// How the reader-list watch answers unless a test chooses: as the platform's
// own PC/SC service does.
#ifdef _WIN32
inline constexpr TPnpBehaviour kPlatformPnp = TPnpBehaviour::Windows;
#else
inline constexpr TPnpBehaviour kPlatformPnp = TPnpBehaviour::PcscLite;
#endif

struct TCard {
    std::uint64_t Id = 0;
    std::vector<std::uint8_t> Atr;
    TProtocol Protocol = TProtocol::T1;
    // Shared so that a transmit can call it after letting the lock go, even if
    // the card is pulled meanwhile.
    std::shared_ptr<const TApduHandler> Handler;
    bool HeldElsewhere = false;
    bool Mute = false;
    // Resets since insertion; a connection made before the last one answers
    // SCARD_W_RESET_CARD.
    std::uint64_t Resets = 0;
};

struct TReader {
    std::uint64_t Id = 0;
    std::string Name;
    std::optional<TCard> Card;
    // Card insertions and removals, reported in the high word of the event state.
    std::uint16_t Events = 0;
};

struct TContext {
    // Established before the service last went down: it never works again.
    bool Dead = false;
    // Raised by SCardCancel; a wait ends cancelled when it sees it move.
    std::uint64_t Cancels = 0;
};

struct TConnection {
    SCARDCONTEXT Context = 0;
    std::uint64_t ReaderId = 0;
    std::uint64_t CardId = 0;
    std::uint64_t Resets = 0; // the card's resets when it was connected
    DWORD ShareMode = 0;
    DWORD Protocol = 0;
};

struct TService {
    std::mutex Mutex;
    std::condition_variable Changed;

    bool Up = true;
    // Windows' service: down once the last reader is gone, up when one comes.
    bool StopsWithLastReader = false;
    std::vector<TReader> Readers;
    std::map<SCARDCONTEXT, TContext> Contexts;
    std::map<SCARDHANDLE, TConnection> Cards;
    std::map<std::string, std::uint32_t> Forced;
    std::map<std::string, std::function<void()>> BeforeCalls;
    std::map<std::string, std::function<void()>> AfterCalls;
    TPnpBehaviour Pnp = kPlatformPnp;
    std::vector<TCall> Calls;
    // Never reset, so that handles of an earlier test stay invalid.
    std::uint64_t NextId = 1;
    std::int64_t NextHandle = 0x10001;

    TReader* FindReader(const std::string& name);
    TReader* FindReader(std::uint64_t id);
    // Null when the reader is unknown or has no card.
    TCard* FindCard(const std::string& reader);

    // SCARD_S_SUCCESS, or why calls on the context fail.
    LONG CheckContext(SCARDCONTEXT context) const;
    // The connection still reaches its card: its context works, its reader and
    // the very card it connected to are still there.
    bool Reaches(const TConnection& connection) const;
    int ConnectionsTo(const TReader& reader) const;
    bool HeldExclusively(const TReader& reader) const;

    // The state a status-change wait reports for the reader.
    DWORD EventState(const TReader& reader) const;
    // Fills the record's event state (and ATR) from the present state; true
    // when that differs from its current state, which sets SCARD_STATE_CHANGED.
    // `readersAtStart`: how many readers there were when the wait began.
    bool Report(SCARD_READERSTATE& state, std::size_t readersAtStart) const;

    // Going down kills every context made so far: they never work again.
    void SetUp(bool up);
    // Drops the context's card connections and the context itself.
    void DropContext(SCARDCONTEXT context);
    void Notify() { Changed.notify_all(); }
};

TService& Service();

// The special name through which pcsc-lite reports readers coming and going;
// pcsc-lite compares it without regard to case.
bool IsPnpName(const char* name);

} // namespace fakepcsc::detail
