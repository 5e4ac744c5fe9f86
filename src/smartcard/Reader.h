// One object per connected reader, and the two watcher threads that follow the
// set of readers and the card in each reader.
#pragma once

#include "platform/Thread.h"
#include "smartcard/PCSCRaw.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TReaderObject;

// Card-state codes, in the order the window shows them.
enum TCardState : std::uint8_t {
    csUnknown = 0,
    csExclusive = 1,
    csShared = 2,
    csAvailable = 3,
    csBadCard = 4,
    csNoCard = 5,
};

// Active protocol codes of a reader object.
enum TProtocolCode : std::uint8_t { ptNone = 0, ptT0 = 1, ptT1 = 2, ptRaw = 4 };

// The reader-list watcher's first wait, after which it reports the readers
// even when the service did not answer it (pcsc-lite never answers at once),
// and the pause after a wait that failed.
constexpr DWORD kWatchTimeoutMs = 250;
// How long the reader-list watcher waits before it compares the listed names:
// a reader that comes or goes just between a listing and the next wait is not
// reported by that wait where the service does not count the readers
// (pcsc-lite 1.9.9), nor a reader swapped for another where it does (Windows),
// and shows at the latest after this.
constexpr DWORD kListCheckMs = 2000;

// What both watchers share: a context of their own, whose wait a stop request
// cancels, renewed when the service lost it, released when the watch ends.
// Waits have no time-out of their own where nothing can be missed: the stop's
// cancel, repeated until the thread ends (TThread::WaitFor), ends them.
class TWatcherThread : public TThread {
protected:
    explicit TWatcherThread(const TPCSCRaw& pcsc);
    void TerminateRequested() override;
    // After the service stopped (or never ran) the context is dead for good:
    // take a new one and start the watch afresh.
    void RenewContext();
    void ReleaseContext();

    const TPCSCRaw& PCSC;
    std::atomic<SCARDCONTEXT> Context{0};
    pcsc::TReaderState WatchState{};
};

// Watches the set of readers and runs OnReaderListChanged on the main thread for
// every change.
class TReaderListThread : public TWatcherThread {
public:
    explicit TReaderListThread(const TPCSCRaw& pcsc);
    ~TReaderListThread() override;

    std::function<void()> OnReaderListChanged;

protected:
    void Execute() override;

private:
    std::vector<std::string> ListNames() const;
    void Report();
};

// Watches one reader and hands each reported state to its reader object.
class TCardStateThread : public TWatcherThread {
public:
    TCardStateThread(TReaderObject& readerObject, const TPCSCRaw& pcsc);
    ~TCardStateThread() override;

protected:
    void Execute() override;

private:
    TReaderObject& ReaderObject;
    const std::string ReaderName;
};

class TReaderObject {
public:
    // Without `watch` no thread follows the card until Watch(): the owner
    // reads the state itself (TCardSession::ReadCardState), as a single
    // download does, which needs no second context and no thread.
    TReaderObject(const std::string& readerName, const TPCSCRaw& pcsc, bool watch = true);
    // Starts the watcher when there is none yet.
    void Watch(const TPCSCRaw& pcsc);
    // Stops the watcher and waits for it; a report it had already handed over
    // still runs meanwhile. Does not disconnect a connected card.
    ~TReaderObject();
    TReaderObject(const TReaderObject&) = delete;
    TReaderObject& operator=(const TReaderObject&) = delete;

    // Asks the watcher to end without waiting for it: a window that closes
    // many readers lets their watchers end together, then frees each.
    void StopWatching();

    pcsc::TResult Connect(const TPCSCRaw& pcsc, SCARDCONTEXT context, DWORD shareMode);
    // 87 without calling the service when neither T=0 nor T=1 is active.
    pcsc::TResult Transmit(const TPCSCRaw& pcsc, const std::uint8_t* send, DWORD sendLength,
                           std::uint8_t* receive, DWORD* receiveLength);
    pcsc::TResult Disconnect(const TPCSCRaw& pcsc);

    // Main thread only, run by the watcher after it stored a report in ReaderState.
    void UpdateCardState();
    void UpdateATR(const std::uint8_t* bytes, DWORD count);

    // Called with this object whenever CardState changes.
    std::function<void(TReaderObject*)> OnCardStateChanged;
    // The last state the watcher received. Written by the watcher thread only
    // while no UpdateCardState of this object runs; read only inside it.
    pcsc::TReaderState ReaderState{};
    const std::string ReaderName;
    std::string ATR;
    std::uint8_t CardState = csUnknown;
    SCARDHANDLE CardHandle = pcsc::kNoCardHandle;
    std::uint8_t Protocol = ptNone;

private:
    std::unique_ptr<TCardStateThread> Watcher;
    // The reader's event counter (the high word of the event state) at the
    // last report; -1 before the first. It counts insertions and removals, so
    // that a card swapped for another between two reports is seen.
    long EventCount = -1;
};

// The card-state code of a reader state; see TCardState.
std::uint8_t CardStateFromReaderState(const pcsc::TReaderState& state);
