// The card download file on Windows: opened with sharing for readers only, so
// that no other program (nor a second download) writes it meanwhile, and with
// the folder's inherited access rights.
#include "main/CardDownloadFile.h"

#include "platform/WideText.h"

#include <windows.h>

#include <limits>

namespace {

HANDLE AsHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

std::string FileErrorMessage(int errorNumber) {
    if (errorNumber == ERROR_ACCESS_DENIED || errorNumber == ERROR_WRITE_PROTECT) {
        return "File access denied";
    }
    return "I/O error " + std::to_string(errorNumber);
}

TCardDownloadFile::TCardDownloadFile(const std::string& path) {
    // OPEN_ALWAYS, not CREATE_ALWAYS: a file that another program holds must
    // not be cut. Its sharing refuses this open first (ERROR_SHARING_VIOLATION).
    const HANDLE handle =
        CreateFileW(platform::Utf8ToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw TFileError(static_cast<int>(GetLastError()));
    }
    // Devices (NUL) cannot be cut; only a disk file is emptied.
    if (GetFileType(handle) == FILE_TYPE_DISK && !SetEndOfFile(handle)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        throw TFileError(static_cast<int>(error));
    }
    FHandle = reinterpret_cast<std::intptr_t>(handle);
}

TCardDownloadFile::~TCardDownloadFile() {
    if (FHandle != -1) {
        CloseHandle(AsHandle(FHandle));
    }
}

void TCardDownloadFile::Write(const void* data, std::size_t length) {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(length, std::numeric_limits<DWORD>::max()));
        DWORD written = 0;
        if (!WriteFile(AsHandle(FHandle), next, chunk, &written, nullptr)) {
            throw TFileError(static_cast<int>(GetLastError()));
        }
        if (written == 0) {
            // A full disk may also answer with a write of nothing.
            throw TFileError(ERROR_DISK_FULL);
        }
        next += written;
        length -= written;
        FPosition += written;
    }
}

void TCardDownloadFile::SetRecordLength(std::uint64_t offset, std::uint16_t length) {
    const char bytes[2] = {static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
    // A write at an offset moves a synchronous handle's file pointer: put it
    // back at the end, where the next record goes.
    auto seek = [this](std::uint64_t at) {
        LARGE_INTEGER distance{};
        distance.QuadPart = static_cast<LONGLONG>(at);
        if (!SetFilePointerEx(AsHandle(FHandle), distance, nullptr, FILE_BEGIN)) {
            throw TFileError(static_cast<int>(GetLastError()));
        }
    };
    seek(offset + 3);
    DWORD written = 0;
    const BOOL ok = WriteFile(AsHandle(FHandle), bytes, sizeof(bytes), &written, nullptr);
    const DWORD error = ok ? (written == sizeof(bytes) ? 0 : ERROR_DISK_FULL) : GetLastError();
    seek(FPosition);
    if (error != 0) {
        throw TFileError(static_cast<int>(error));
    }
}

void TCardDownloadFile::Close() {
    const HANDLE handle = AsHandle(FHandle);
    FHandle = -1;
    if (!CloseHandle(handle)) {
        throw TFileError(static_cast<int>(GetLastError()));
    }
}
