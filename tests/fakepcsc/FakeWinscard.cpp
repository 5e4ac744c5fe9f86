// The 17 functions pcsc-lite exports, with its signatures, answered by the
// in-memory service. Results follow pcsc-lite 1.9.9 where a client can tell.
// Built for Windows, the header's macros turn the text functions into their
// "A" forms with Windows' types, and the four names only Windows has follow at
// the end. Calls are recorded under the names without "A" on both.
#include "FakeService.h"

#include "smartcard/PcscDef.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <span>

using fakepcsc::TCall;
using fakepcsc::TProtocol;
using fakepcsc::detail::IsPnpName;
using fakepcsc::detail::Service;
using fakepcsc::detail::TConnection;
using fakepcsc::detail::TReader;
using fakepcsc::detail::TService;

namespace {

using TLock = std::unique_lock<std::mutex>;

TCall Named(const char* function) {
    TCall call;
    call.Function = function;
    return call;
}

// Runs one exported call under the service's lock. A forced result takes the
// place of the call; either way the call is recorded with what it returned.
// A test's actions before and after the call run outside the lock.
template <class TBody> LONG Serve(TCall call, TBody&& body) {
    TService& service = Service();
    TLock lock(service.Mutex);
    if (const auto found = service.BeforeCalls.find(call.Function);
        found != service.BeforeCalls.end()) {
        const std::function<void()> before = found->second;
        lock.unlock();
        before();
        lock.lock();
    }
    LONG result = SCARD_S_SUCCESS;
    const auto forced = service.Forced.find(call.Function);
    if (forced != service.Forced.end()) {
        result = static_cast<LONG>(forced->second);
    } else {
        result = body(service, lock, call);
    }
    call.Result = static_cast<std::uint32_t>(result);
    std::function<void()> after;
    if (const auto found = service.AfterCalls.find(call.Function);
        found != service.AfterCalls.end()) {
        after = found->second;
    }
    service.Calls.push_back(std::move(call));
    lock.unlock();
    if (after) {
        after();
    }
    return result;
}

// What pcsc-lite answers for a name the fake does not implement.
LONG Unsupported(const char* function, std::uint64_t handle) {
    TCall call = Named(function);
    call.Context = handle;
    return Serve(std::move(call),
                 [](TService&, TLock&, TCall&) -> LONG { return SCARD_E_UNSUPPORTED_FEATURE; });
}

DWORD ProtocolCode(TProtocol protocol) {
    switch (protocol) {
    case TProtocol::T0:
        return SCARD_PROTOCOL_T0;
    case TProtocol::T1:
        return SCARD_PROTOCOL_T1;
    case TProtocol::Raw:
        return SCARD_PROTOCOL_RAW;
    }
    return SCARD_PROTOCOL_UNDEFINED;
}

// pcsc-lite knows a fourth scope, which Windows lacks.
bool KnownScope(DWORD scope) {
    return scope == SCARD_SCOPE_USER || scope == SCARD_SCOPE_TERMINAL || scope == SCARD_SCOPE_SYSTEM
#ifdef SCARD_SCOPE_GLOBAL
           || scope == SCARD_SCOPE_GLOBAL
#endif
        ;
}

// Why a call on a card handle fails, or SCARD_S_SUCCESS while it reaches its card.
LONG CheckConnection(TService& service, const TConnection& connection) {
    if (const LONG result = service.CheckContext(connection.Context); result != SCARD_S_SUCCESS) {
        return result;
    }
    const TReader* reader = service.FindReader(connection.ReaderId);
    if (reader == nullptr) {
        return SCARD_E_READER_UNAVAILABLE;
    }
    if (!reader->Card || reader->Card->Id != connection.CardId) {
        return SCARD_W_REMOVED_CARD;
    }
    if (reader->Card->Resets != connection.Resets) {
        return SCARD_W_RESET_CARD;
    }
    return SCARD_S_SUCCESS;
}

LONG WaitForChange(TService& service, TLock& lock, SCARDCONTEXT context, DWORD timeout,
                   SCARD_READERSTATE* states, DWORD count) {
    if (states == nullptr && count > 0) {
        return SCARD_E_INVALID_PARAMETER;
    }
    const auto records = std::span(states, count);
    if (std::any_of(records.begin(), records.end(),
                    [](const SCARD_READERSTATE& record) { return record.szReader == nullptr; })) {
        return SCARD_E_INVALID_VALUE;
    }
    const auto watched = [](const SCARD_READERSTATE& record) {
        return (record.dwCurrentState & SCARD_STATE_IGNORE) == 0;
    };
    if (std::none_of(records.begin(), records.end(), watched)) {
        return SCARD_S_SUCCESS;
    }
    if (const LONG result = service.CheckContext(context); result != SCARD_S_SUCCESS) {
        return result;
    }
    // pcsc-lite refuses an unknown name before it waits at all.
    for (const SCARD_READERSTATE& record : records) {
        if (watched(record) && service.FindReader(std::string(record.szReader)) == nullptr &&
            !IsPnpName(record.szReader)) {
            return SCARD_E_UNKNOWN_READER;
        }
    }
    for (SCARD_READERSTATE& record : records) {
        record.dwEventState = 0;
    }
    // Only a cancel that comes while the call runs ends it: one that came
    // before is lost, as with pcsc-lite.
    const std::uint64_t cancels = service.Contexts.at(context).Cancels;
    const std::size_t readersAtStart = service.Readers.size();
    const bool forever = timeout >= INFINITE;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
    while (true) {
        bool changed = false;
        for (SCARD_READERSTATE& record : records) {
            if (watched(record)) {
                changed = service.Report(record, readersAtStart) || changed;
            }
        }
        if (changed) {
            return SCARD_S_SUCCESS;
        }
        if (!forever && std::chrono::steady_clock::now() >= deadline) {
            return SCARD_E_TIMEOUT;
        }
        if (forever) {
            service.Changed.wait(lock);
        } else {
            service.Changed.wait_until(lock, deadline);
        }
        if (const LONG result = service.CheckContext(context); result != SCARD_S_SUCCESS) {
            return result;
        }
        if (service.Contexts.at(context).Cancels != cancels) {
            return SCARD_E_CANCELLED;
        }
    }
}

LONG Connect(TService& service, SCARDCONTEXT context, const char* name, DWORD shareMode,
             DWORD preferred, LPSCARDHANDLE card, LPDWORD active, TCall& call) {
    if (const LONG result = service.CheckContext(context); result != SCARD_S_SUCCESS) {
        return result;
    }
    if (name == nullptr) {
        return SCARD_E_INVALID_VALUE;
    }
    if (card == nullptr || active == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    if (shareMode != SCARD_SHARE_EXCLUSIVE && shareMode != SCARD_SHARE_SHARED &&
        shareMode != SCARD_SHARE_DIRECT) {
        return SCARD_E_INVALID_VALUE;
    }
    TReader* reader = service.FindReader(std::string(name));
    if (reader == nullptr) {
        return SCARD_E_UNKNOWN_READER;
    }
    if ((reader->Card && reader->Card->HeldElsewhere) || service.HeldExclusively(*reader)) {
        return SCARD_E_SHARING_VIOLATION;
    }
    // A direct connection talks to the reader: no card, no protocol needed.
    DWORD protocol = SCARD_PROTOCOL_UNDEFINED;
    if (shareMode != SCARD_SHARE_DIRECT) {
        if (!reader->Card) {
            return SCARD_E_NO_SMARTCARD;
        }
        if (reader->Card->Mute) {
            return SCARD_W_UNRESPONSIVE_CARD;
        }
        if (shareMode == SCARD_SHARE_EXCLUSIVE && service.ConnectionsTo(*reader) > 0) {
            return SCARD_E_SHARING_VIOLATION;
        }
        protocol = ProtocolCode(reader->Card->Protocol);
        if (protocol != SCARD_PROTOCOL_RAW && (preferred & protocol) == 0) {
            return SCARD_E_PROTO_MISMATCH;
        }
    }
    TConnection connection;
    connection.Context = context;
    connection.ReaderId = reader->Id;
    connection.CardId = reader->Card ? reader->Card->Id : 0;
    connection.Resets = reader->Card ? reader->Card->Resets : 0;
    connection.ShareMode = shareMode;
    connection.Protocol = protocol;
    const SCARDHANDLE handle = service.NextHandle++;
    service.Cards[handle] = connection;
    *card = handle;
    *active = protocol;
    call.Handle = static_cast<std::uint64_t>(handle);
    service.Notify();
    return SCARD_S_SUCCESS;
}

LONG Transmit(TService& service, TLock& lock, SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci,
              LPCBYTE send, DWORD sendLength, SCARD_IO_REQUEST* recvPci, LPBYTE receive,
              LPDWORD receiveLength) {
    const auto found = service.Cards.find(card);
    if (found == service.Cards.end()) {
        return service.Up ? SCARD_E_INVALID_HANDLE : SCARD_E_NO_SERVICE;
    }
    const TConnection connection = found->second;
    if (const LONG result = CheckConnection(service, connection); result != SCARD_S_SUCCESS) {
        return result;
    }
    if (sendPci == nullptr || send == nullptr || receive == nullptr || receiveLength == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    if (sendPci->dwProtocol != connection.Protocol) {
        return SCARD_E_PROTO_MISMATCH;
    }
    const auto& inserted = *service.FindReader(connection.ReaderId)->Card;
    if (inserted.Mute) {
        return SCARD_E_NOT_TRANSACTED;
    }
    const auto handler = inserted.Handler;
    const std::vector<std::uint8_t> command(send, send + sendLength);

    // The card answers outside the lock: it may take its time, and it may use
    // the control interface itself (pull the card, for one).
    std::vector<std::uint8_t> answer;
    bool failed = false;
    lock.unlock();
    try {
        answer = (*handler)(command);
    } catch (...) {
        failed = true;
    }
    lock.lock();

    if (failed) {
        *receiveLength = 0;
        return SCARD_E_NOT_TRANSACTED;
    }
    if (answer.size() < 2 || answer.size() > *receiveLength) {
        *receiveLength = answer.size();
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::copy(answer.begin(), answer.end(), receive);
    *receiveLength = answer.size();
    if (recvPci != nullptr) {
        recvPci->dwProtocol = connection.Protocol;
        recvPci->cbPciLength = sizeof(SCARD_IO_REQUEST);
    }
    return SCARD_S_SUCCESS;
}

} // namespace

LONG SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    TCall call = Named("SCardEstablishContext");
    call.Scope = dwScope;
    return Serve(std::move(call), [&](TService& service, TLock&, TCall& made) -> LONG {
        if (phContext == nullptr) {
            return SCARD_E_INVALID_PARAMETER;
        }
        *phContext = 0;
        if (!service.Up) {
            return SCARD_E_NO_SERVICE;
        }
        if (!KnownScope(dwScope)) {
            return SCARD_E_INVALID_VALUE;
        }
        const SCARDCONTEXT context = service.NextHandle++;
        service.Contexts[context] = {};
        *phContext = context;
        made.Handle = static_cast<std::uint64_t>(context);
        return SCARD_S_SUCCESS;
    });
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    TCall call = Named("SCardReleaseContext");
    call.Context = static_cast<std::uint64_t>(hContext);
    return Serve(std::move(call), [&](TService& service, TLock&, TCall&) -> LONG {
        const auto found = service.Contexts.find(hContext);
        if (found == service.Contexts.end()) {
            return service.Up ? SCARD_E_INVALID_HANDLE : SCARD_E_NO_SERVICE;
        }
        // A dead context fails to release, yet the client forgets it all the same.
        const bool dead = found->second.Dead;
        service.DropContext(hContext);
        service.Notify();
        return service.Up && !dead ? SCARD_S_SUCCESS : SCARD_E_NO_SERVICE;
    });
}

#ifndef FAKEPCSC_NO_CANCEL
LONG SCardCancel(SCARDCONTEXT hContext) {
    TCall call = Named("SCardCancel");
    call.Context = static_cast<std::uint64_t>(hContext);
    return Serve(std::move(call), [&](TService& service, TLock&, TCall&) -> LONG {
        if (const LONG result = service.CheckContext(hContext); result != SCARD_S_SUCCESS) {
            return result;
        }
        ++service.Contexts.at(hContext).Cancels;
        service.Notify();
        return SCARD_S_SUCCESS;
    });
}
#endif

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders) {
    TCall call = Named("SCardListReaders");
    call.Context = static_cast<std::uint64_t>(hContext);
    call.Length = pcchReaders != nullptr ? *pcchReaders : 0;
    return Serve(std::move(call), [&](TService& service, TLock&, TCall&) -> LONG {
        if (const LONG result = service.CheckContext(hContext); result != SCARD_S_SUCCESS) {
            return result;
        }
        if (pcchReaders == nullptr) {
            return SCARD_E_INVALID_PARAMETER;
        }
        if (*pcchReaders == SCARD_AUTOALLOCATE) {
            return SCARD_E_UNSUPPORTED_FEATURE;
        }
        if (service.Readers.empty()) {
            *pcchReaders = 1;
            return SCARD_E_NO_READERS_AVAILABLE;
        }
        std::string list;
        for (const TReader& reader : service.Readers) {
            list += reader.Name;
            list += '\0';
        }
        list += '\0';
        const DWORD needed = list.size();
        if (mszReaders != nullptr && *pcchReaders < needed) {
            *pcchReaders = needed;
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (mszReaders != nullptr) {
            std::memcpy(mszReaders, list.data(), needed);
        }
        *pcchReaders = needed;
        return SCARD_S_SUCCESS;
    });
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout, SCARD_READERSTATE* rgReaderStates,
                          DWORD cReaders) {
    TCall call = Named("SCardGetStatusChange");
    call.Context = static_cast<std::uint64_t>(hContext);
    call.Timeout = dwTimeout;
    call.Length = cReaders;
    if (rgReaderStates != nullptr && cReaders > 0 && rgReaderStates[0].szReader != nullptr) {
        call.Reader = rgReaderStates[0].szReader;
    }
    return Serve(std::move(call), [&](TService& service, TLock& lock, TCall&) -> LONG {
        return WaitForChange(service, lock, hContext, dwTimeout, rgReaderStates, cReaders);
    });
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    TCall call = Named("SCardConnect");
    call.Context = static_cast<std::uint64_t>(hContext);
    call.Reader = szReader != nullptr ? szReader : "";
    call.ShareMode = dwShareMode;
    call.Protocols = dwPreferredProtocols;
    return Serve(std::move(call), [&](TService& service, TLock&, TCall& made) -> LONG {
        return Connect(service, hContext, szReader, dwShareMode, dwPreferredProtocols, phCard,
                       pdwActiveProtocol, made);
    });
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    TCall call = Named("SCardDisconnect");
    call.Context = static_cast<std::uint64_t>(hCard);
    call.Disposition = dwDisposition;
    return Serve(std::move(call), [&](TService& service, TLock&, TCall&) -> LONG {
        const auto found = service.Cards.find(hCard);
        if (found == service.Cards.end()) {
            return service.Up ? SCARD_E_INVALID_HANDLE : SCARD_E_NO_SERVICE;
        }
        if (dwDisposition != SCARD_LEAVE_CARD && dwDisposition != SCARD_RESET_CARD &&
            dwDisposition != SCARD_UNPOWER_CARD && dwDisposition != SCARD_EJECT_CARD) {
            return SCARD_E_INVALID_VALUE;
        }
        // Whatever went wrong with the card, the handle is gone afterwards.
        const LONG result = CheckConnection(service, found->second);
        service.Cards.erase(found);
        service.Notify();
        return result;
    });
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
    TCall call = Named("SCardTransmit");
    call.Context = static_cast<std::uint64_t>(hCard);
    if (pioSendPci != nullptr) {
        call.PciProtocol = pioSendPci->dwProtocol;
        call.PciLength = pioSendPci->cbPciLength;
    }
    if (pbSendBuffer != nullptr) {
        call.Data.assign(pbSendBuffer, pbSendBuffer + cbSendLength);
    }
    call.Length = pcbRecvLength != nullptr ? *pcbRecvLength : 0;
    return Serve(std::move(call), [&](TService& service, TLock& lock, TCall&) -> LONG {
        return Transmit(service, lock, hCard, pioSendPci, pbSendBuffer, cbSendLength, pioRecvPci,
                        pbRecvBuffer, pcbRecvLength);
    });
}

// One program in the fake: a transaction is granted on any live connection,
// and a test forces the answers of one held elsewhere.
LONG SCardBeginTransaction(SCARDHANDLE hCard) {
    TCall call = Named("SCardBeginTransaction");
    call.Context = static_cast<std::uint64_t>(hCard);
    return Serve(std::move(call), [&](TService& service, TLock&, TCall&) -> LONG {
        const auto found = service.Cards.find(hCard);
        if (found == service.Cards.end()) {
            return service.Up ? SCARD_E_INVALID_HANDLE : SCARD_E_NO_SERVICE;
        }
        return CheckConnection(service, found->second);
    });
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD) {
    TCall call = Named("SCardEndTransaction");
    call.Context = static_cast<std::uint64_t>(hCard);
    return Serve(std::move(call), [&](TService& service, TLock&, TCall&) -> LONG {
        const auto found = service.Cards.find(hCard);
        if (found == service.Cards.end()) {
            return service.Up ? SCARD_E_INVALID_HANDLE : SCARD_E_NO_SERVICE;
        }
        return CheckConnection(service, found->second);
    });
}

// Exported because a PC/SC library must have them; the program never calls them.

LONG SCardReconnect(SCARDHANDLE hCard, DWORD, DWORD, DWORD, LPDWORD) {
    return Unsupported("SCardReconnect", static_cast<std::uint64_t>(hCard));
}

LONG SCardStatus(SCARDHANDLE hCard, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return Unsupported("SCardStatus", static_cast<std::uint64_t>(hCard));
}

LONG SCardControl(SCARDHANDLE hCard, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD) {
    return Unsupported("SCardControl", static_cast<std::uint64_t>(hCard));
}

LONG SCardListReaderGroups(SCARDCONTEXT hContext, LPSTR, LPDWORD) {
    return Unsupported("SCardListReaderGroups", static_cast<std::uint64_t>(hContext));
}

LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID) {
    return Unsupported("SCardFreeMemory", static_cast<std::uint64_t>(hContext));
}

LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD, LPBYTE, LPDWORD) {
    return Unsupported("SCardGetAttrib", static_cast<std::uint64_t>(hCard));
}

LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD, LPCBYTE, DWORD) {
    return Unsupported("SCardSetAttrib", static_cast<std::uint64_t>(hCard));
}

#ifdef _WIN32
// Windows' table has four more names, which pcsc-lite lacks.

LONG SCardGetProviderIdA(SCARDCONTEXT hContext, LPCSTR, LPGUID) {
    return Unsupported("SCardGetProviderId", static_cast<std::uint64_t>(hContext));
}

LONG SCardListCardsA(SCARDCONTEXT hContext, LPCBYTE, LPCGUID, DWORD, LPSTR, LPDWORD) {
    return Unsupported("SCardListCards", static_cast<std::uint64_t>(hContext));
}

LONG SCardListInterfacesA(SCARDCONTEXT hContext, LPCSTR, LPGUID, LPDWORD) {
    return Unsupported("SCardListInterfaces", static_cast<std::uint64_t>(hContext));
}

LONG SCardLocateCardsA(SCARDCONTEXT hContext, LPCSTR, LPSCARD_READERSTATEA, DWORD) {
    return Unsupported("SCardLocateCards", static_cast<std::uint64_t>(hContext));
}
#endif
