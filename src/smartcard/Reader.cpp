#include "smartcard/Reader.h"

#include <chrono>
#include <cstdio>

namespace {

// A wait that fails at once (no service, no context, library not loaded) is
// retried after this pause, so that a watcher never spins a core.
constexpr std::chrono::milliseconds kRetryPause{kWatchTimeoutMs};
// Reader names handed to SCardConnect are cut to this many characters.
constexpr std::size_t kMaxConnectName = 254;

} // namespace

// ------------------------------------------------------------------ watchers

TWatcherThread::TWatcherThread(const TPCSCRaw& pcsc) : PCSC(pcsc) {
    RenewContext();
}

void TWatcherThread::TerminateRequested() {
    if (Context != 0) {
        PCSC.Cancel(Context);
    }
}

void TWatcherThread::RenewContext() {
    ReleaseContext();
    SCARDCONTEXT context = 0;
    PCSC.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    Context = context;
    WatchState.dwCurrentState = SCARD_STATE_UNAWARE;
}

void TWatcherThread::ReleaseContext() {
    if (Context != 0) {
        PCSC.ReleaseContext(Context);
        Context = 0;
    }
}

// ---------------------------------------------------------------- reader list

TReaderListThread::TReaderListThread(const TPCSCRaw& pcsc) : TWatcherThread(pcsc) {}

TReaderListThread::~TReaderListThread() {
    Stop();
}

std::vector<std::string> TReaderListThread::ListNames() const {
    std::vector<std::string> names;
    ListReaderNames(PCSC, Context, names);
    return names;
}

void TReaderListThread::Report() {
    if (OnReaderListChanged) {
        Synchronize(OnReaderListChanged);
    }
}

void TReaderListThread::Execute() {
    WatchState = {};
    WatchState.szReader = pcsc::kPnpNotification;
    WatchState.dwCurrentState = SCARD_STATE_UNAWARE;

    // pcsc-lite 1.9.9 neither answers the first wait at once nor reports a
    // reader that came or went between two waits; the listed names after each
    // time-out make up for both, and a report is made only for a real change.
    // Windows (and later pcsc-lite) counts the readers in the high word of the
    // event state: handed back, it makes the next wait compare the count at its
    // start with the one we know. A reader swapped for another between two
    // waits keeps the count, so the names are compared after each time-out
    // there too, which costs one listing every few seconds. The names are always taken before the
    // report: a reader that comes or goes while the report runs is then a change against them,
    // never part of them unseen; they are taken again right after it, so that such a change, which
    // the next wait would not see, is reported at once rather than after the time-out.
    bool reported = false;
    std::vector<std::string> lastNames;
    const auto reportNames = [&](std::vector<std::string> names) {
        do {
            lastNames = std::move(names);
            Report();
            reported = true;
            names = ListNames();
        } while (!Terminated() && names != lastNames);
    };
    while (!Terminated()) {
        const DWORD timeout = reported ? kListCheckMs : kWatchTimeoutMs;
        const pcsc::TResult result = PCSC.GetStatusChange(Context, timeout, &WatchState, 1);
        if (result == pcsc::kCancelled) {
            break;
        }
        if (result == pcsc::kSuccess) {
            WatchState.dwCurrentState = WatchState.dwEventState;
            reportNames(ListNames());
        } else if (result == pcsc::kTimeout) {
            std::vector<std::string> names = ListNames();
            if (!reported || names != lastNames) {
                reportNames(std::move(names));
            }
        } else {
            SleepUnlessTerminated(kRetryPause);
            if (Terminated()) {
                break;
            }
            // A service that came back at once lists the same readers, but the
            // window's context died with ours: a new context is news to report.
            bool renewed = false;
            if (pcsc::ContextLost(result) || Context == 0) {
                RenewContext();
                renewed = Context != 0;
            }
            // While the service is gone its readers are gone too. A service
            // lost before the first report may have taken readers the window
            // listed: the empty names from the start prove nothing then.
            std::vector<std::string> names = ListNames();
            const bool lostUnreported = !reported && pcsc::ContextLost(result);
            if (renewed || lostUnreported || names != lastNames) {
                reportNames(std::move(names));
            }
        }
    }
    ReleaseContext();
}

// ----------------------------------------------------------------- card state

TCardStateThread::TCardStateThread(TReaderObject& readerObject, const TPCSCRaw& pcsc)
    : TWatcherThread(pcsc), ReaderObject(readerObject), ReaderName(readerObject.ReaderName) {}

TCardStateThread::~TCardStateThread() {
    Stop();
}

void TCardStateThread::Execute() {
    WatchState = {};
    WatchState.szReader = ReaderName.c_str();
    WatchState.dwCurrentState = SCARD_STATE_UNAWARE;
    // The state handed back, with the reader's event counter in its high word,
    // makes each wait return at once for what changed since the last one.
    while (!Terminated()) {
        const pcsc::TResult result = PCSC.GetStatusChange(Context, INFINITE, &WatchState, 1);
        if (result == pcsc::kCancelled) {
            break;
        }
        if (result == pcsc::kSuccess) {
            WatchState.dwCurrentState = WatchState.dwEventState;
            ReaderObject.ReaderState = WatchState;
            Synchronize([this] { ReaderObject.UpdateCardState(); });
        } else if (result != pcsc::kTimeout) {
            SleepUnlessTerminated(kRetryPause);
            if (!Terminated() && (pcsc::ContextLost(result) || Context == 0)) {
                RenewContext();
            }
        }
    }
    ReleaseContext();
}

// -------------------------------------------------------------- reader object

TReaderObject::TReaderObject(const std::string& readerName, const TPCSCRaw& pcsc, bool watch)
    : ReaderName(readerName) {
    if (watch) {
        Watch(pcsc);
    }
}

void TReaderObject::Watch(const TPCSCRaw& pcsc) {
    if (!Watcher) {
        Watcher = std::make_unique<TCardStateThread>(*this, pcsc);
        Watcher->Start();
    }
}

TReaderObject::~TReaderObject() {
    Watcher.reset();
}

void TReaderObject::StopWatching() {
    if (Watcher) {
        Watcher->Terminate();
    }
}

pcsc::TResult TReaderObject::Connect(const TPCSCRaw& pcsc, SCARDCONTEXT context, DWORD shareMode) {
    if (CardHandle != pcsc::kNoCardHandle) {
        return pcsc::kSuccess;
    }
    const std::string name = ReaderName.substr(0, kMaxConnectName);
    const DWORD protocols =
        shareMode == SCARD_SHARE_DIRECT ? 0 : (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    SCARDHANDLE handle = pcsc::kNoCardHandle;
    DWORD active = 0;
    const pcsc::TResult result =
        pcsc.Connect(context, name.c_str(), shareMode, protocols, &handle, &active);
    if (result != pcsc::kSuccess) {
        return result;
    }
    CardHandle = handle;
    switch (active) {
    case SCARD_PROTOCOL_T0:
        Protocol = ptT0;
        break;
    case SCARD_PROTOCOL_T1:
        Protocol = ptT1;
        break;
    case SCARD_PROTOCOL_RAW:
        Protocol = ptRaw;
        break;
    default:
        Protocol = ptNone;
        break;
    }
    return result;
}

pcsc::TResult TReaderObject::Transmit(const TPCSCRaw& pcsc, const std::uint8_t* send,
                                      DWORD sendLength, std::uint8_t* receive,
                                      DWORD* receiveLength) {
    const SCARD_IO_REQUEST* pci = nullptr;
    if (Protocol == ptT0) {
        pci = &pcsc::kPciT0;
    } else if (Protocol == ptT1) {
        pci = &pcsc::kPciT1;
    } else {
        return pcsc::kInvalidParameter;
    }
    return pcsc.Transmit(CardHandle, pci, send, sendLength, nullptr, receive, receiveLength);
}

pcsc::TResult TReaderObject::Disconnect(const TPCSCRaw& pcsc) {
    if (CardHandle == pcsc::kNoCardHandle) {
        return pcsc::kSuccess;
    }
    const pcsc::TResult result = pcsc.Disconnect(CardHandle, SCARD_UNPOWER_CARD);
    Protocol = ptNone;
    CardHandle = pcsc::kNoCardHandle;
    return result;
}

void TReaderObject::UpdateATR(const std::uint8_t* bytes, DWORD count) {
    static const char kDigits[] = "0123456789ABCDEF";
    ATR.clear();
    ATR.reserve(count * 3);
    for (DWORD i = 0; i < count; ++i) {
        ATR += kDigits[bytes[i] >> 4];
        ATR += kDigits[bytes[i] & 0x0F];
        ATR += ' ';
    }
}

std::uint8_t CardStateFromReaderState(const pcsc::TReaderState& state) {
    const DWORD event = state.dwEventState;
    if (event & SCARD_STATE_PRESENT) {
        if (event & SCARD_STATE_EXCLUSIVE) {
            return csExclusive;
        }
        if (event & SCARD_STATE_INUSE) {
            return csShared;
        }
        if (event & SCARD_STATE_MUTE) {
            return csBadCard;
        }
        return csAvailable;
    }
    if (event & SCARD_STATE_EMPTY) {
        return csNoCard;
    }
    return state.cbAtr == 0 ? csNoCard : csUnknown;
}

void TReaderObject::UpdateCardState() {
    if (ReaderState.cbAtr != 0) {
        const DWORD count = std::min<DWORD>(ReaderState.cbAtr, sizeof(ReaderState.rgbAtr));
        UpdateATR(ReaderState.rgbAtr, count);
    }
    const std::uint8_t code = CardStateFromReaderState(ReaderState);
    const long count = static_cast<long>(ReaderState.dwEventState >> 16);
    const bool counted = EventCount >= 0 && count != 0 && count != EventCount;
    if (count != 0) {
        EventCount = count;
    }
    const bool present = code == csExclusive || code == csShared || code == csAvailable;
    if (code == CardState) {
        // The same state, but the reader counted events since: the card was
        // taken out and another (or the same) put in between two reports.
        // Told as the removal and the insertion that it was.
        if (!counted || !present) {
            return;
        }
        CardState = csNoCard;
        CardHandle = pcsc::kNoCardHandle;
        if (OnCardStateChanged) {
            OnCardStateChanged(this);
        }
    }
    CardState = code;
    if (code == csNoCard) {
        CardHandle = pcsc::kNoCardHandle;
    }
    if (OnCardStateChanged) {
        OnCardStateChanged(this);
    }
}
