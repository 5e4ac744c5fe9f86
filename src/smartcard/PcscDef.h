// PC/SC types and constants, taken from the platform's own header so that
// sizes and values always match the library loaded at run time.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <winscard.h>
#else
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#endif

namespace pcsc {

// A PC/SC result code as the PC/SC standard defines it: 32 bits, 0 for success.
// The platform's LONG is 64 bits wide on 64-bit Linux, so codes are narrowed here once.
using TResult = std::uint32_t;

constexpr TResult kSuccess = 0;
constexpr TResult kInternalError = 0x80100001u;    // SCARD_F_INTERNAL_ERROR
constexpr TResult kCancelled = 0x80100002u;        // SCARD_E_CANCELLED
constexpr TResult kTimeout = 0x8010000Au;          // SCARD_E_TIMEOUT
constexpr TResult kSharingViolation = 0x8010000Bu; // SCARD_E_SHARING_VIOLATION
constexpr TResult kResetCard = 0x80100068u;        // SCARD_W_RESET_CARD
constexpr TResult kNoReaders = 0x8010002Eu;        // SCARD_E_NO_READERS_AVAILABLE
constexpr TResult kInvalidHandle = 0x80100003u;    // SCARD_E_INVALID_HANDLE
constexpr TResult kCommError = 0x80100013u;        // SCARD_F_COMM_ERROR
constexpr TResult kNoService = 0x8010001Du;        // SCARD_E_NO_SERVICE
constexpr TResult kServiceStopped = 0x8010001Eu;   // SCARD_E_SERVICE_STOPPED

// A context that met one of these never works again, even once the service is
// back: only a new context does.
constexpr bool ContextLost(TResult result) {
    return result == kInvalidHandle || result == kCommError || result == kNoService ||
           result == kServiceStopped;
}

// What a transmit returns when the connection has no usable protocol
// (the Windows code ERROR_INVALID_PARAMETER; it has no PC/SC name).
constexpr TResult kInvalidParameter = 87;

// What differs between the platforms' PC/SC libraries lives here and nowhere else.
#ifdef _WIN32
using TReaderState = SCARD_READERSTATEA;
constexpr const char kDefaultLibrary[] = "WINSCARD.DLL";
constexpr const char kPnpNotification[] = "\\\\?PNP?\\Notification";
// What a user reads when the smart-card service is not running.
constexpr const char kServiceNotRunningCroatian[] =
    "Usluga pametnih kartica (Smart Card) nije pokrenuta: pokrenite je u Uslugama "
    "(services.msc) ili naredbom \"net start SCardSvr\".";
constexpr const char kServiceNotRunningEnglish[] =
    "The smart-card service (Smart Card) is not running: start it in Services "
    "(services.msc) or with \"net start SCardSvr\".";
#define DRAVIK_PCSC_TEXT_NAME(name) name "A"
// Every name must be exported for the binding to load, called or not.
inline constexpr const char* kRequiredExports[] = {
    "SCardBeginTransaction", "SCardCancel",          "SCardConnectA",          "SCardControl",
    "SCardDisconnect",       "SCardEndTransaction",  "SCardEstablishContext",  "SCardFreeMemory",
    "SCardGetAttrib",        "SCardGetProviderIdA",  "SCardGetStatusChangeA",  "SCardListReadersA",
    "SCardListCardsA",       "SCardListInterfacesA", "SCardListReaderGroupsA", "SCardLocateCardsA",
    "SCardReconnect",        "SCardReleaseContext",  "SCardTransmit",          "SCardSetAttrib",
    "SCardStatusA"};
#else
using TReaderState = SCARD_READERSTATE;
constexpr const char kDefaultLibrary[] = "libpcsclite.so.1";
constexpr const char kPnpNotification[] = "\\\\?PnP?\\Notification";
// What a user reads when the smart-card service is not running.
constexpr const char kServiceNotRunningCroatian[] =
    "Usluga pametnih kartica (pcscd) nije pokrenuta: pokrenite je naredbom "
    "\"sudo systemctl start pcscd\".";
constexpr const char kServiceNotRunningEnglish[] =
    "The smart-card service (pcscd) is not running: start it with "
    "\"sudo systemctl start pcscd\".";
#define DRAVIK_PCSC_TEXT_NAME(name) name
// pcsc-lite has no SCardGetProviderId, SCardListCards, SCardListInterfaces or
// SCardLocateCards, and no "A" forms: its text is always single-byte.
inline constexpr const char* kRequiredExports[] = {
    "SCardBeginTransaction", "SCardCancel",         "SCardConnect",
    "SCardControl",          "SCardDisconnect",     "SCardEndTransaction",
    "SCardEstablishContext", "SCardFreeMemory",     "SCardGetAttrib",
    "SCardGetStatusChange",  "SCardListReaders",    "SCardListReaderGroups",
    "SCardReconnect",        "SCardReleaseContext", "SCardTransmit",
    "SCardSetAttrib",        "SCardStatus"};
#endif

// A card handle with every bit set means "not connected".
constexpr SCARDHANDLE kNoCardHandle = static_cast<SCARDHANDLE>(-1);

// Protocol control information records for T=0 and T=1. The length field is the
// record's own size (16 bytes on 64-bit Linux, 8 on Windows).
inline constexpr SCARD_IO_REQUEST kPciT0{SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
inline constexpr SCARD_IO_REQUEST kPciT1{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};

} // namespace pcsc
