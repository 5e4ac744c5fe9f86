// The PC/SC binding: loads the platform's smart-card library at run time and
// hands every call on unchanged. Never linked against the library itself.
#pragma once

#include "platform/DynamicLibrary.h"
#include "smartcard/PcscDef.h"

#include <string>
#include <vector>

class TPCSCRaw {
public:
    TPCSCRaw() = default;
    ~TPCSCRaw();
    TPCSCRaw(const TPCSCRaw&) = delete;
    TPCSCRaw& operator=(const TPCSCRaw&) = delete;

    // 0 loaded; 1 the library could not be loaded; 2 a required name is not
    // exported (the binding then stays unloaded and lets the library go).
    // An empty name loads the platform's library by its bare name.
    int Load(const std::string& library = {});
    // True if the binding was loaded and has now let the library go.
    bool Unload();
    bool IsLoaded() const { return Loaded; }

    // Every wrapper returns SCARD_F_INTERNAL_ERROR at once while not loaded.
    pcsc::TResult EstablishContext(DWORD scope, const void* reserved1, const void* reserved2,
                                   SCARDCONTEXT* context) const;
    pcsc::TResult ReleaseContext(SCARDCONTEXT context) const;
    pcsc::TResult Cancel(SCARDCONTEXT context) const;
    pcsc::TResult ListReaders(SCARDCONTEXT context, const char* groups, char* readers,
                              DWORD* length) const;
    pcsc::TResult GetStatusChange(SCARDCONTEXT context, DWORD timeout, pcsc::TReaderState* states,
                                  DWORD count) const;
    pcsc::TResult Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode,
                          DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) const;
    pcsc::TResult Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci,
                           const unsigned char* sendBuffer, DWORD sendLength,
                           SCARD_IO_REQUEST* recvPci, unsigned char* recvBuffer,
                           DWORD* recvLength) const;
    pcsc::TResult Disconnect(SCARDHANDLE card, DWORD disposition) const;
    // The card to this connection alone until EndTransaction: another
    // connection's commands wait meanwhile (or its transaction does).
    pcsc::TResult BeginTransaction(SCARDHANDLE card) const;
    pcsc::TResult EndTransaction(SCARDHANDLE card, DWORD disposition) const;

    // "SCARD_" and the symbolic name of a result code; "SCARD_??" for unknown codes.
    static std::string ResultName(pcsc::TResult code);

private:
    struct TEntryPoints {
        decltype(&SCardBeginTransaction) BeginTransaction = nullptr;
        decltype(&SCardCancel) Cancel = nullptr;
        decltype(&SCardConnect) Connect = nullptr;
        decltype(&SCardDisconnect) Disconnect = nullptr;
        decltype(&SCardEndTransaction) EndTransaction = nullptr;
        decltype(&SCardEstablishContext) EstablishContext = nullptr;
        decltype(&SCardGetStatusChange) GetStatusChange = nullptr;
        decltype(&SCardListReaders) ListReaders = nullptr;
        decltype(&SCardReleaseContext) ReleaseContext = nullptr;
        decltype(&SCardTransmit) Transmit = nullptr;
    };

    bool Loaded = false;
    TDynamicLibrary LibHandle;
    TEntryPoints Entry;
};

// Splits a reader-name buffer (names each ended by a NUL, one more NUL after the
// last) into `list`. 0 on success, -1 when `list` is missing or the buffer is not
// properly terminated (the list is then empty). `length` counts every character.
// Names are kept whole whatever their length: a cut name would no longer
// address its reader.
int MultiStringToList(const char* buffer, DWORD length, std::vector<std::string>* list);

// The listed readers' names, asked for as the PC/SC standard has it: the length
// first, then the names. Gives the first call's result; when only the second
// call fails (the list changed in between) the result is success and `names`
// stays empty, as after any failure.
pcsc::TResult ListReaderNames(const TPCSCRaw& pcsc, SCARDCONTEXT context,
                              std::vector<std::string>& names);
