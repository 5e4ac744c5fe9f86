#include "smartcard/PCSCRaw.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <mutex>

namespace {

// Names of the result codes 0x80100001 to 0x8010002E, without gap.
constexpr std::array<const char*, 46> kErrorNames = {"F_INTERNAL_ERROR",
                                                     "E_CANCELLED",
                                                     "E_INVALID_HANDLE",
                                                     "E_INVALID_PARAMETER",
                                                     "E_INVALID_TARGET",
                                                     "E_NO_MEMORY",
                                                     "F_WAITED_TOO_LONG",
                                                     "E_INSUFFICIENT_BUFFER",
                                                     "E_UNKNOWN_READER",
                                                     "E_TIMEOUT",
                                                     "E_SHARING_VIOLATION",
                                                     "E_NO_SMARTCARD",
                                                     "E_UNKNOWN_CARD",
                                                     "E_CANT_DISPOSE",
                                                     "E_PROTO_MISMATCH",
                                                     "E_NOT_READY ",
                                                     "E_INVALID_VALUE",
                                                     "E_SYSTEM_CANCELLED",
                                                     "F_COMM_ERROR",
                                                     "F_UNKNOWN_ERROR",
                                                     "E_INVALID_ATR",
                                                     "E_NOT_TRANSACTED",
                                                     "E_READER_UNAVAILABLE",
                                                     "P_SHUTDOWN",
                                                     "E_PCI_TOO_SMALL",
                                                     "E_READER_UNSUPPORTED",
                                                     "E_DUPLICATE_READER",
                                                     "E_CARD_UNSUPPORTED",
                                                     "E_NO_SERVICE",
                                                     "E_SERVICE_STOPPED",
                                                     "E_UNEXPECTED",
                                                     "E_ICC_INSTALLATION",
                                                     "E_ICC_CREATEORDER",
                                                     "E_UNSUPPORTED_FEATURE",
                                                     "E_DIR_NOT_FOUND",
                                                     "E_FILE_NOT_FOUND",
                                                     "E_NO_DIR",
                                                     "E_NO_FILE",
                                                     "E_NO_ACCESS",
                                                     "E_WRITE_TOO_MANY",
                                                     "E_BAD_SEEK",
                                                     "E_INVALID_CHV",
                                                     "E_UNKNOWN_RES_MNG",
                                                     "E_NO_SUCH_CERTIFICATE",
                                                     "E_CERTIFICATE_UNAVAILABLE",
                                                     "E_NO_READERS_AVAILABLE"};

// Names of the warning codes 0x80100065 to 0x8010006E, without gap.
constexpr std::array<const char*, 10> kWarningNames = {
    "W_UNSUPPORTED_CARD", "W_UNRESPONSIVE_CARD", "W_UNPOWERED_CARD",
    "W_RESET_CARD",       "W_REMOVED_CARD",      "W_SECURITY_VIOLATION",
    "W_WRONG_CHV",        "W_CHV_BLOCKED",       "W_EOF",
    "W_CANCELLED_BY_USER"};

constexpr pcsc::TResult kFirstError = 0x80100001u;
constexpr pcsc::TResult kFirstWarning = 0x80100065u;

pcsc::TResult Narrow(LONG result) {
    return static_cast<pcsc::TResult>(result);
}

// pcsc-lite 1.9.9 races in its first initialisation when two threads establish
// contexts at once; watchers re-establish theirs from their own threads.
std::mutex gEstablishMutex;

} // namespace

TPCSCRaw::~TPCSCRaw() {
    if (Loaded) {
        Unload();
    }
}

int TPCSCRaw::Load(const std::string& library) {
    TDynamicLibrary module;
    if (!module.Open(library.empty() ? pcsc::kDefaultLibrary : library)) {
        return 1;
    }
    Entry = {};
    // Every lookup is made, also after one has failed.
    bool complete = true;
    for (const char* name : pcsc::kRequiredExports) {
        if (module.Symbol(name) == nullptr) {
            complete = false;
        }
    }
    if (!complete) {
        return 2; // `module` lets the library go
    }
    auto resolve = [&module](auto& entry, const char* name) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(module.Symbol(name));
    };
    resolve(Entry.BeginTransaction, "SCardBeginTransaction");
    resolve(Entry.Cancel, "SCardCancel");
    resolve(Entry.Connect, DRAVIK_PCSC_TEXT_NAME("SCardConnect"));
    resolve(Entry.Disconnect, "SCardDisconnect");
    resolve(Entry.EndTransaction, "SCardEndTransaction");
    resolve(Entry.EstablishContext, "SCardEstablishContext");
    resolve(Entry.GetStatusChange, DRAVIK_PCSC_TEXT_NAME("SCardGetStatusChange"));
    resolve(Entry.ListReaders, DRAVIK_PCSC_TEXT_NAME("SCardListReaders"));
    resolve(Entry.ReleaseContext, "SCardReleaseContext");
    resolve(Entry.Transmit, "SCardTransmit");
    LibHandle = std::move(module);
    Loaded = true;
    return 0;
}

bool TPCSCRaw::Unload() {
    if (!Loaded) {
        return false;
    }
    Loaded = false;
    LibHandle.Close();
    return true;
}

pcsc::TResult TPCSCRaw::EstablishContext(DWORD scope, const void* reserved1, const void* reserved2,
                                         SCARDCONTEXT* context) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    std::lock_guard lock(gEstablishMutex);
    return Narrow(Entry.EstablishContext(scope, reserved1, reserved2, context));
}

pcsc::TResult TPCSCRaw::ReleaseContext(SCARDCONTEXT context) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(Entry.ReleaseContext(context));
}

pcsc::TResult TPCSCRaw::Cancel(SCARDCONTEXT context) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(Entry.Cancel(context));
}

pcsc::TResult TPCSCRaw::ListReaders(SCARDCONTEXT context, const char* groups, char* readers,
                                    DWORD* length) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(Entry.ListReaders(context, groups, readers, length));
}

pcsc::TResult TPCSCRaw::GetStatusChange(SCARDCONTEXT context, DWORD timeout,
                                        pcsc::TReaderState* states, DWORD count) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(Entry.GetStatusChange(context, timeout, states, count));
}

pcsc::TResult TPCSCRaw::Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode,
                                DWORD preferredProtocols, SCARDHANDLE* card,
                                DWORD* activeProtocol) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(
        Entry.Connect(context, reader, shareMode, preferredProtocols, card, activeProtocol));
}

pcsc::TResult TPCSCRaw::Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci,
                                 const unsigned char* sendBuffer, DWORD sendLength,
                                 SCARD_IO_REQUEST* recvPci, unsigned char* recvBuffer,
                                 DWORD* recvLength) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(
        Entry.Transmit(card, sendPci, sendBuffer, sendLength, recvPci, recvBuffer, recvLength));
}

pcsc::TResult TPCSCRaw::Disconnect(SCARDHANDLE card, DWORD disposition) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(Entry.Disconnect(card, disposition));
}

pcsc::TResult TPCSCRaw::BeginTransaction(SCARDHANDLE card) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(Entry.BeginTransaction(card));
}

pcsc::TResult TPCSCRaw::EndTransaction(SCARDHANDLE card, DWORD disposition) const {
    if (!Loaded) {
        return pcsc::kInternalError;
    }
    return Narrow(Entry.EndTransaction(card, disposition));
}

std::string TPCSCRaw::ResultName(pcsc::TResult code) {
    const char* name = "??";
    if (code == pcsc::kSuccess) {
        name = "S_SUCCESS";
    } else if (code >= kFirstError && code - kFirstError < kErrorNames.size()) {
        name = kErrorNames[code - kFirstError];
    } else if (code >= kFirstWarning && code - kFirstWarning < kWarningNames.size()) {
        name = kWarningNames[code - kFirstWarning];
    }
    return std::string("SCARD_") + name;
}

int MultiStringToList(const char* buffer, DWORD length, std::vector<std::string>* list) {
    if (list == nullptr) {
        return -1;
    }
    list->clear();
    if (buffer == nullptr || length == 0) {
        return 0;
    }
    if (length == 1) {
        return buffer[0] == '\0' ? 0 : -1;
    }
    if (buffer[length - 2] != '\0' || buffer[length - 1] != '\0') {
        return -1;
    }
    DWORD start = 0;
    for (DWORD i = 0; i + 1 < length; ++i) {
        if (buffer[i] == '\0') {
            if (i > start) {
                list->emplace_back(buffer + start, i - start);
            }
            start = i + 1;
        }
    }
    return 0;
}

pcsc::TResult ListReaderNames(const TPCSCRaw& pcsc, SCARDCONTEXT context,
                              std::vector<std::string>& names) {
    names.clear();
    DWORD length = 0;
    const pcsc::TResult result = pcsc.ListReaders(context, nullptr, nullptr, &length);
    if (result != pcsc::kSuccess || length == 0) {
        return result;
    }
    std::vector<char> buffer(length);
    if (pcsc.ListReaders(context, nullptr, buffer.data(), &length) == pcsc::kSuccess) {
        MultiStringToList(buffer.data(), std::min<DWORD>(length, buffer.size()), &names);
    }
    return pcsc::kSuccess;
}
