// The archive's file operations on Windows: the wide-character API, so that
// a folder such as C:\Users\Željko\Documents\Dravik works whatever the ANSI
// code page. Error numbers are the system's (GetLastError).
#include "archive/Archive.h"

#include "platform/WideText.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace archive {

namespace {

// Closes a handle when it goes out of scope.
struct THandle {
    HANDLE Value = INVALID_HANDLE_VALUE;
    ~THandle() {
        if (Value != INVALID_HANDLE_VALUE) {
            CloseHandle(Value);
        }
    }
};

int LastError() {
    return static_cast<int>(GetLastError());
}

std::wstring Wide(const std::string& path) {
    return platform::Utf8ToWide(path);
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Qt hands folders over with '/': the paths we make and show use Windows' own
// separator throughout, rather than "C:/Users/x/Dravik\\name.ddd".
std::string Native(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

// A name for the copy that no other download of this or another process
// takes at the same moment.
std::string TemporaryName(const std::string& folder, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    return folder + "\\.dravik-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(attempt) + ".part";
}

} // namespace

std::string SystemText(int errorNumber) {
    wchar_t* buffer = nullptr;
    // Language 0: the user's own, as the rest of Windows speaks to them.
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(errorNumber), 0, reinterpret_cast<wchar_t*>(&buffer), 0,
        nullptr);
    if (length == 0 || buffer == nullptr) {
        return "error " + std::to_string(errorNumber);
    }
    std::wstring text(buffer, length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
        text.pop_back();
    }
    return platform::WideToUtf8(text);
}

void MakeFolder(const std::string& given) {
    const std::string folder = Native(given);
    if (folder.empty()) {
        throw TError(ERROR_PATH_NOT_FOUND, folder);
    }
    // Each level in turn; a drive ("C:") or a share's root refuses creation
    // and is taken as there: the final check says whether the whole path is.
    for (std::size_t i = 1; i <= folder.size(); ++i) {
        if (i < folder.size() && !IsSeparator(folder[i])) {
            continue;
        }
        const std::string part = folder.substr(0, i);
        if (part.back() == ':' || IsSeparator(part.back())) {
            continue;
        }
        if (!CreateDirectoryW(Wide(part).c_str(), nullptr)) {
            const int error = LastError();
            if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
                throw TError(error, part);
            }
        }
    }
    const DWORD attributes = GetFileAttributesW(Wide(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw TError(LastError(), folder);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw TError(ERROR_DIRECTORY, folder);
    }
}

TStagedFile::TStagedFile(const std::string& source, const std::string& folder)
    : FFolder(Native(folder)) {
    MakeFolder(FFolder);
    THandle in{CreateFileW(Wide(source).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (in.Value == INVALID_HANDLE_VALUE) {
        throw TError(LastError(), source);
    }
    THandle out;
    std::string temporary;
    for (unsigned attempt = 0; out.Value == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = TemporaryName(FFolder, attempt);
        out.Value = CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (out.Value == INVALID_HANDLE_VALUE &&
            (GetLastError() != ERROR_FILE_EXISTS || attempt > 100)) {
            throw TError(LastError(), FFolder);
        }
    }
    FTemporary = temporary;
    try {
        char buffer[65536];
        for (;;) {
            DWORD count = 0;
            if (!ReadFile(in.Value, buffer, sizeof(buffer), &count, nullptr)) {
                throw TError(LastError(), source);
            }
            if (count == 0) {
                break;
            }
            DWORD written = 0;
            if (!WriteFile(out.Value, buffer, count, &written, nullptr) || written != count) {
                throw TError(written != count && GetLastError() == 0 ? ERROR_DISK_FULL
                                                                     : LastError(),
                             FTemporary);
            }
        }
        // On disk before it has its name.
        if (!FlushFileBuffers(out.Value)) {
            throw TError(LastError(), FTemporary);
        }
        const HANDLE handle = out.Value;
        out.Value = INVALID_HANDLE_VALUE;
        if (!CloseHandle(handle)) {
            throw TError(LastError(), FTemporary);
        }
    } catch (...) {
        if (out.Value != INVALID_HANDLE_VALUE) {
            CloseHandle(out.Value);
            out.Value = INVALID_HANDLE_VALUE;
        }
        DeleteFileW(Wide(FTemporary).c_str());
        FTemporary.clear();
        throw;
    }
}

TStagedFile::TStagedFile(TBytes bytes, const std::string& folder) : FFolder(Native(folder)) {
    MakeFolder(FFolder);
    THandle out;
    std::string temporary;
    for (unsigned attempt = 0; out.Value == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = TemporaryName(FFolder, attempt);
        out.Value = CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (out.Value == INVALID_HANDLE_VALUE &&
            (GetLastError() != ERROR_FILE_EXISTS || attempt > 100)) {
            throw TError(LastError(), FFolder);
        }
    }
    FTemporary = temporary;
    try {
        const char* next = bytes.Data.data();
        std::size_t left = bytes.Data.size();
        while (left > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 20));
            DWORD written = 0;
            if (!WriteFile(out.Value, next, chunk, &written, nullptr) || written == 0) {
                throw TError(written == 0 && GetLastError() == 0 ? ERROR_DISK_FULL : LastError(),
                             FTemporary);
            }
            next += written;
            left -= written;
        }
        // On disk before it has its name.
        if (!FlushFileBuffers(out.Value)) {
            throw TError(LastError(), FTemporary);
        }
        const HANDLE handle = out.Value;
        out.Value = INVALID_HANDLE_VALUE;
        if (!CloseHandle(handle)) {
            throw TError(LastError(), FTemporary);
        }
    } catch (...) {
        if (out.Value != INVALID_HANDLE_VALUE) {
            CloseHandle(out.Value);
            out.Value = INVALID_HANDLE_VALUE;
        }
        DeleteFileW(Wide(FTemporary).c_str());
        FTemporary.clear();
        throw;
    }
}

TStagedFile::~TStagedFile() {
    if (!FTemporary.empty()) {
        DeleteFileW(Wide(FTemporary).c_str());
    }
}

std::string TStagedFile::Commit(const std::string& downloadName, bool whole) {
    for (int counter = 1; counter < 100000; ++counter) {
        const std::string path = FFolder + "\\" + FileName(downloadName, whole, counter);
        // Without MOVEFILE_REPLACE_EXISTING a name that is taken is refused.
        if (MoveFileExW(Wide(FTemporary).c_str(), Wide(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
            FTemporary.clear();
            SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
            return path;
        }
        const int error = LastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            throw TError(error, path);
        }
    }
    throw TError(ERROR_FILE_EXISTS, FFolder + "\\" + FileName(downloadName, whole));
}

std::string Save(const std::string& source, const std::string& folder,
                 const std::string& downloadName, bool whole) {
    TStagedFile staged(source, folder);
    return staged.Commit(downloadName, whole);
}

std::string Save(TBytes bytes, const std::string& folder, const std::string& downloadName,
                 bool whole) {
    TStagedFile staged(bytes, folder);
    return staged.Commit(downloadName, whole);
}

void RemoveStaleCopies(const std::string& given) {
    if (given.empty()) {
        return;
    }
    const std::string folder = Native(given);
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(Wide(folder + "\\.dravik-*.part").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string begin = ".dravik-";
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
            continue;
        }
        DeleteFileW(Wide(folder + "\\" + name).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool FolderWritable(const std::string& folder) {
    THandle probe{CreateFileW(Wide(TemporaryName(folder, 0)).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr)};
    return probe.Value != INVALID_HANDLE_VALUE;
}

TWorkingFile WorkingFilePath(const std::string& programFolder, const std::string& dataFolder) {
    const std::string beside = Native(programFolder) + "\\" + kWorkingFileName;
    THandle existing{CreateFileW(Wide(beside).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr)};
    // Held by another copy, it could not be replaced; and each download
    // writes a file of its own beside it, so the folder must take new files.
    const bool held =
        existing.Value == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND;
    if (!held && FolderWritable(programFolder)) {
        return {beside, false};
    }
    if (dataFolder.empty()) {
        return {beside, false};
    }
    MakeFolder(dataFolder);
    return {Native(dataFolder) + "\\" + kWorkingFileName, true};
}

} // namespace archive
