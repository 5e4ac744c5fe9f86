// Control interface of the in-memory PC/SC library (libfakepcsc.so on Linux,
// fakepcsc.dll with the Windows names, types and service on Windows).
//
// A test links the library for this interface and loads the very same file
// through TPCSCRaw::Load(path): both reach one in-memory service. Every PC/SC
// call is recorded with its arguments. Changes made here wake every blocked
// SCardGetStatusChange at once, so tests never sleep through time-outs.
//
// How the service answers, as pcsc-lite 1.9.9 does where a client can tell:
// - SCardGetStatusChange refuses an unknown reader name with
//   SCARD_E_UNKNOWN_READER before it waits. It returns at once when the state
//   it finds differs from dwCurrentState (SCARD_STATE_UNAWARE always differs;
//   CHANGED is not compared, nor the event counter in the high word unless the
//   caller passed a non-zero one back), else it blocks until such a change, the
//   time-out (SCARD_E_TIMEOUT), an SCardCancel of its context (SCARD_E_CANCELLED),
//   the service going down (SCARD_E_NO_SERVICE) or the release of its context
//   (SCARD_E_INVALID_HANDLE). A reader pulled during the wait is reported as
//   UNKNOWN|UNAVAILABLE|CHANGED.
// - A cancel only ends a wait that is running; one that comes before the wait
//   is lost.
// - "\\?PnP?\Notification", by default as pcsc-lite 1.9.9: the wait counts
//   the readers when it starts and returns, with CHANGED and nothing else in
//   the event state, only when that count changes during the wait; it never
//   returns at once, not even when unaware, and a reader that came or went
//   between two waits is not reported. With TPnpBehaviour::Windows it reports
//   the number of readers in the high word and returns at once when unaware or
//   when that number differs from the high word of dwCurrentState.
// - A card held by a connection shows INUSE; an exclusive connection shows
//   EXCLUSIVE|INUSE. A direct connection needs no card and has no protocol.
// - Releasing a context also drops its card handles. Releasing a dead context
//   (made before the service went down) answers SCARD_E_NO_SERVICE yet frees it;
//   a disconnect frees its handle whatever it answers.
// - SCardTransmit wants a send PCI whose protocol is the active one
//   (SCARD_E_PROTO_MISMATCH else); an answer shorter than 2 bytes or longer than
//   the receive buffer gives SCARD_E_INSUFFICIENT_BUFFER with the answer's length.
// - SCARD_AUTOALLOCATE and the nine functions the program never calls answer
//   SCARD_E_UNSUPPORTED_FEATURE (and are recorded).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fakepcsc {

// One recorded PC/SC call. Fields that a call does not have stay 0 / empty.
// A call is recorded when it returns, so a blocked SCardGetStatusChange shows
// up only once its wait has ended.
struct TCall {
    std::string Function;      // exported name, e.g. "SCardConnect"
    std::uint64_t Context = 0; // context or card handle the call was given
    std::string Reader;        // reader name passed (Connect, GetStatusChange: first record)
    std::uint64_t ShareMode = 0;
    std::uint64_t Protocols = 0;    // preferred protocols (Connect)
    std::uint64_t Disposition = 0;  // Disconnect
    std::uint64_t PciProtocol = 0;  // Transmit: send PCI protocol
    std::uint64_t PciLength = 0;    // Transmit: send PCI length field
    std::vector<std::uint8_t> Data; // Transmit: command bytes
    std::uint64_t Timeout = 0;      // GetStatusChange
    std::uint32_t Result = 0;       // what the call returned
    std::uint64_t Scope = 0;        // EstablishContext
    // The context (EstablishContext) or card handle (Connect) the call gave out.
    std::uint64_t Handle = 0;
    // On entry: *pcchReaders (ListReaders), *pcbRecvLength (Transmit), the number
    // of records (GetStatusChange).
    std::uint64_t Length = 0;
};

// Answers one command APDU with a response APDU (data and status word).
using TApduHandler = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)>;

// Back to a service that is up, with no readers, no cards, no forced results
// and an empty call record. Contexts and handles of earlier tests become invalid.
void Reset();

// The service being down makes every call fail with SCARD_E_NO_SERVICE; contexts
// made before it went down fail from then on with SCARD_E_NO_SERVICE too, as with
// pcsc-lite, and only new contexts work once it is up again.
void SetServiceUp(bool up);
// As Windows' Smart Card service: removing the last reader takes the service
// down as SetServiceUp(false) does, and adding a reader brings it up again.
// The default, which Reset() restores, is on in the Windows build
// (fakepcsc.dll) and off in the Linux one, as pcscd keeps running.
void SetServiceStopsWithLastReader(bool stops);

// Readers are listed in the order they were added; names are case-sensitive.
// Adding a name that is there already changes nothing; removing one that is not
// there neither. Removing a reader takes its card with it.
void AddReader(const std::string& name);
void RemoveReader(const std::string& name);

enum class TProtocol { T0, T1, Raw };
// Inserts a card (a card already there is removed first). An empty handler
// answers every command with 6D 00. The handler runs on the thread that called
// SCardTransmit, outside the library's lock; one that throws makes the transmit
// fail with SCARD_E_NOT_TRANSACTED. A Raw card connects whatever protocols are
// preferred and reports SCARD_PROTOCOL_RAW as active; a T0 or T1 card needs its
// protocol among the preferred ones (else SCARD_E_PROTO_MISMATCH).
// Throws std::invalid_argument for an unknown reader or an ATR over 33 bytes.
// Every insertion and removal counts in the reader's event counter, which
// SCardGetStatusChange reports in the high 16 bits of the event state.
void InsertCard(const std::string& reader, const std::vector<std::uint8_t>& atr,
                TProtocol protocol = TProtocol::T1, TApduHandler handler = {});
// No card there: nothing happens. Connections to the card answer
// SCARD_W_REMOVED_CARD from then on.
void RemoveCard(const std::string& reader);
// The card is powered anew, as a reader does after an exchange that went
// wrong: connections made before answer SCARD_W_RESET_CARD from then on. May
// be called from a card's handler.
void ResetCardPower(const std::string& reader);
// Another program holds the card exclusively: the state shows EXCLUSIVE|INUSE and
// SCardConnect answers SCARD_E_SHARING_VIOLATION. Both setters throw
// std::invalid_argument when the reader is unknown or holds no card.
void SetCardExclusive(const std::string& reader, bool exclusive);
// The card does not answer: the state shows MUTE with no ATR (cbAtr 0, as
// pcsc-lite reports a card it could not power), SCardConnect answers
// SCARD_W_UNRESPONSIVE_CARD and a transmit on an earlier connection
// SCARD_E_NOT_TRANSACTED.
void SetCardMute(const std::string& reader, bool mute);

// How "\\?PnP?\Notification" answers (see above). Reset() brings back the
// platform's default, kPlatformPnp in FakeService.h.
enum class TPnpBehaviour { PcscLite, Windows };
void SetPnpBehaviour(TPnpBehaviour behaviour);

// Runs `action` after every later call of the exported function returns, on
// the thread that made the call and outside the library's lock, so that it may
// change the service (a reader plugged just after a listing). An empty action
// removes it; Reset() removes them all.
void AfterCall(const std::string& function, std::function<void()> action);

// Runs `action` when every later call of the exported function begins, on the
// calling thread and before the call takes the library's lock, so that it may
// act just before a wait begins (a stop whose cancel then comes too early).
// An empty action removes it; Reset() removes them all.
void BeforeCall(const std::string& function, std::function<void()> action);

// Forces the result of every later call of an exported function (e.g.
// "SCardConnect"); 0 removes the forcing. Forced calls do nothing but record.
void ForceResult(const std::string& function, std::uint32_t result);

std::vector<TCall> Calls();
// The recorded calls of one function only.
std::vector<TCall> Calls(const std::string& function);
void ClearCalls();

// Number of contexts established and not yet released, and connected card handles.
int OpenContexts();
int OpenCards();

} // namespace fakepcsc
