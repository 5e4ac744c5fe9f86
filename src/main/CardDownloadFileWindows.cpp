// The card download file on Windows: a working file of the download's own,
// opened with sharing for readers only, so that no other program (nor a
// second download) writes it meanwhile, and with the folder's inherited
// access rights. It is renamed through its own handle: nothing can take its
// place between the flush and the rename.
#include "main/CardDownloadFile.h"

#include "platform/WideText.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

HANDLE AsHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

std::string::size_type LastSeparator(const std::string& path) {
    return path.find_last_of("/\\");
}

std::string FolderOf(const std::string& path) {
    const auto at = LastSeparator(path);
    return at == std::string::npos ? "." : path.substr(0, at);
}

std::string NameOf(const std::string& path) {
    const auto at = LastSeparator(path);
    return at == std::string::npos ? path : path.substr(at + 1);
}

constexpr char kPartSuffix[] = ".part";

// Renames the file open as `handle` to `path`; `replace` replaces a file there.
DWORD RenameOpen(HANDLE handle, const std::string& path, bool replace) {
    const std::wstring wide = platform::Utf8ToWide(path);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (wide.size() + 1) * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    if (!SetFileInformationByHandle(handle, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size()))) {
        return GetLastError();
    }
    return 0;
}

} // namespace

std::string FileErrorMessage(int errorNumber) {
    if (errorNumber == ERROR_ACCESS_DENIED || errorNumber == ERROR_WRITE_PROTECT) {
        return "File access denied";
    }
    return "I/O error " + std::to_string(errorNumber);
}

TCardDownloadFile::TCardDownloadFile(const std::string& target) {
    const DWORD attributes = GetFileAttributesW(platform::Utf8ToWide(target).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // What opening a folder as a file answers.
        throw TFileError(ERROR_ACCESS_DENIED);
    }
    static std::atomic<unsigned> counter{0};
    const std::string prefix = FolderOf(target) + "\\." + NameOf(target) + "." +
                               std::to_string(GetCurrentProcessId()) + "-";
    for (;;) {
        std::string path = prefix + std::to_string(++counter) + kPartSuffix;
        // DELETE: the rename goes through this handle. No FILE_SHARE_DELETE:
        // nobody removes or renames it while it is open.
        const HANDLE handle =
            CreateFileW(platform::Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                        FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            FHandle = reinterpret_cast<std::intptr_t>(handle);
            FPath = std::move(path);
            return;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            throw TFileError(static_cast<int>(GetLastError()));
        }
    }
}

TCardDownloadFile::~TCardDownloadFile() {
    if (FHandle != -1) {
        CloseHandle(AsHandle(FHandle));
    }
    if (!FNamed && !FPath.empty()) {
        DeleteFileW(platform::Utf8ToWide(FPath).c_str());
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
        FBytes.append(next, written);
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
    if (offset + 5 <= FBytes.size()) {
        FBytes.replace(static_cast<std::size_t>(offset) + 3, 2, bytes, 2);
    }
}

void TCardDownloadFile::Close() {
    // On disk before it takes a name and before the card is told of it. The
    // handle stays open for the rename; the destructor closes it.
    if (!FlushFileBuffers(AsHandle(FHandle))) {
        throw TFileError(static_cast<int>(GetLastError()));
    }
}

void TCardDownloadFile::Publish(const std::string& path) {
    if (FNamed) {
        return;
    }
    const DWORD error = RenameOpen(AsHandle(FHandle), path, true);
    if (error != 0) {
        throw TFileError(static_cast<int>(error));
    }
    FNamed = true;
    FPath = path;
    SetFileAttributesW(platform::Utf8ToWide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

std::string TCardDownloadFile::Keep(const std::string& stem) {
    if (FNamed) {
        return FPath;
    }
    for (int counter = 1; counter < 100000; ++counter) {
        const std::string path =
            stem + (counter > 1 ? " (" + std::to_string(counter) + ")" : std::string()) + ".ddd";
        const DWORD error = RenameOpen(AsHandle(FHandle), path, false);
        if (error == 0) {
            FNamed = true;
            FPath = path;
            SetFileAttributesW(platform::Utf8ToWide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
            return path;
        }
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            throw TFileError(static_cast<int>(error));
        }
    }
    throw TFileError(ERROR_FILE_EXISTS);
}

void RemoveStaleWorkingFiles(const std::string& target) {
    const std::string folder = FolderOf(target);
    const std::string begin = "." + NameOf(target) + ".";
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        FindFirstFileW(platform::Utf8ToWide(folder + "\\" + begin + "*.part").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = platform::WideToUtf8(found.cFileName);
        char* end = nullptr;
        const unsigned long pid = std::strtoul(name.c_str() + begin.size(), &end, 10);
        if (name.rfind(begin, 0) != 0 || pid == 0 || end == nullptr || *end != '-' ||
            pid == GetCurrentProcessId()) {
            continue;
        }
        const HANDLE owner = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
        if (owner != nullptr) {
            const bool running = WaitForSingleObject(owner, 0) == WAIT_TIMEOUT;
            CloseHandle(owner);
            if (running) {
                continue;
            }
        } else if (GetLastError() != ERROR_INVALID_PARAMETER) {
            // There, but not ours to look at: not ours to remove either.
            continue;
        }
        // A file still open elsewhere refuses this (no sharing of deletion).
        DeleteFileW(platform::Utf8ToWide(folder + "\\" + name).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
