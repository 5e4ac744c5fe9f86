// Control interface of the in-memory PC/SC library (libfakepcsc.so).
//
// A test links the library for this interface and loads the very same file
// through TPCSCRaw::Load(path): both reach one in-memory service. Every PC/SC
// call is recorded with its arguments. Changes made here wake every blocked
// SCardGetStatusChange at once, so tests never sleep through time-outs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fakepcsc {

// One recorded PC/SC call. Fields that a call does not have stay 0 / empty.
struct TCall {
    std::string Function;      // exported name, e.g. "SCardConnect"
    std::uint64_t Context = 0; // context or card handle the call was given
    std::string Reader;        // reader name passed (Connect, GetStatusChange: first record)
    std::uint64_t ShareMode = 0;
    std::uint64_t Protocols = 0;   // preferred protocols (Connect)
    std::uint64_t Disposition = 0; // Disconnect
    std::uint64_t PciProtocol = 0; // Transmit: send PCI protocol
    std::uint64_t PciLength = 0;   // Transmit: send PCI length field
    std::vector<std::uint8_t> Data; // Transmit: command bytes
    std::uint64_t Timeout = 0;      // GetStatusChange
    std::uint32_t Result = 0;       // what the call returned
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

void AddReader(const std::string& name);
void RemoveReader(const std::string& name);

enum class TProtocol { T0, T1, Raw };
// Inserts a card. An empty handler answers every command with 6D 00.
void InsertCard(const std::string& reader, const std::vector<std::uint8_t>& atr,
                TProtocol protocol = TProtocol::T1, TApduHandler handler = {});
void RemoveCard(const std::string& reader);
// Another program holds the card exclusively: the state shows EXCLUSIVE|INUSE and
// SCardConnect answers SCARD_E_SHARING_VIOLATION.
void SetCardExclusive(const std::string& reader, bool exclusive);
// The card does not answer: the state shows MUTE and SCardConnect answers
// SCARD_W_UNRESPONSIVE_CARD.
void SetCardMute(const std::string& reader, bool mute);

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
