// The card download file on a POSIX system: a working file of the download's
// own, created for the owner only, flushed to disk before it takes its name.
#include "main/CardDownloadFile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

std::string NameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ".tmp.ddd.<pid>-": what every working file of this process beside
// "tmp.ddd" begins with; a number and ".part" follow.
std::string WorkingPrefix(const std::string& target, long pid) {
    return "." + NameOf(target) + "." + std::to_string(pid) + "-";
}

constexpr char kPartSuffix[] = ".part";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Gives `from` the name `to` unless `to` exists: false then. A file system
// that cannot rename without replacing gets a hard link and the removal of
// the old name.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        return false;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        throw TFileError(errno);
    }
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) {
            return false;
        }
        throw TFileError(errno);
    }
    ::unlink(from.c_str());
    return true;
}

} // namespace

std::string FileErrorMessage(int errorNumber) {
    if (errorNumber == EACCES || errorNumber == EPERM || errorNumber == EROFS) {
        return "File access denied";
    }
    return "I/O error " + std::to_string(errorNumber);
}

TCardDownloadFile::TCardDownloadFile(const std::string& target) {
    // The name itself, not what a link there points to: the rename at the end
    // replaces a link, and never writes through it.
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            throw TFileError(EISDIR);
        }
        // A device (a test's /dev/full, /dev/null) is written to as it is:
        // there is nothing to replace, and no folder beside it to write in.
        if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) || S_ISFIFO(info.st_mode)) {
            const int handle = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
            if (handle < 0) {
                throw TFileError(errno);
            }
            FHandle = handle;
            FPath = target;
            FNamed = true;
            return;
        }
    }
    static std::atomic<unsigned> counter{0};
    const std::string prefix = FolderOf(target) + "/" + WorkingPrefix(target, ::getpid());
    for (;;) {
        // O_EXCL: never a file that is there, nor one a symbolic link points to.
        std::string path = prefix + std::to_string(++counter) + kPartSuffix;
        const int handle =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (handle >= 0) {
            FHandle = handle;
            FPath = std::move(path);
            return;
        }
        if (errno != EEXIST) {
            throw TFileError(errno);
        }
    }
}

TCardDownloadFile::~TCardDownloadFile() {
    if (FHandle >= 0) {
        ::close(static_cast<int>(FHandle));
    }
    if (!FNamed && !FPath.empty()) {
        ::unlink(FPath.c_str());
    }
}

void TCardDownloadFile::Write(const void* data, std::size_t length) {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = ::write(static_cast<int>(FHandle), next, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw TFileError(errno);
        }
        FBytes.append(next, static_cast<std::size_t>(written));
        next += written;
        length -= static_cast<std::size_t>(written);
        FPosition += static_cast<std::uint64_t>(written);
    }
}

void TCardDownloadFile::SetRecordLength(std::uint64_t offset, std::uint16_t length) {
    const char bytes[2] = {static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
    // pwrite leaves the file offset alone: the next write still appends.
    const auto at = static_cast<off_t>(offset + 3);
    for (;;) {
        const ssize_t written = ::pwrite(static_cast<int>(FHandle), bytes, sizeof(bytes), at);
        if (written == static_cast<ssize_t>(sizeof(bytes))) {
            if (offset + 5 <= FBytes.size()) {
                FBytes.replace(static_cast<std::size_t>(offset) + 3, 2, bytes, 2);
            }
            return;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        throw TFileError(written < 0 ? errno : EIO);
    }
}

void TCardDownloadFile::Close() {
    const int handle = static_cast<int>(FHandle);
    FHandle = -1;
    // On disk before it takes a name and before the card is told of it.
    // Devices and pipes cannot be flushed, and need not be.
    if (::fsync(handle) != 0 && errno != EINVAL && errno != EROFS) {
        const int error = errno;
        ::close(handle);
        throw TFileError(error);
    }
    if (::close(handle) != 0) {
        throw TFileError(errno);
    }
}

void TCardDownloadFile::Publish(const std::string& path) {
    if (FNamed) {
        return;
    }
    if (::rename(FPath.c_str(), path.c_str()) != 0) {
        throw TFileError(errno);
    }
    FNamed = true;
    FPath = path;
}

std::string TCardDownloadFile::Keep(const std::string& stem) {
    if (FNamed) {
        return FPath;
    }
    for (int counter = 1; counter < 100000; ++counter) {
        const std::string path =
            stem + (counter > 1 ? " (" + std::to_string(counter) + ")" : std::string()) + ".ddd";
        if (RenameNoReplace(FPath, path)) {
            FNamed = true;
            FPath = path;
            return path;
        }
    }
    throw TFileError(EEXIST);
}

void RemoveStaleWorkingFiles(const std::string& target) {
    DIR* folder = ::opendir(FolderOf(target).c_str());
    if (folder == nullptr) {
        return;
    }
    const std::string begin = "." + NameOf(target) + ".";
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.rfind(begin, 0) != 0 || !EndsWith(name, kPartSuffix)) {
            continue;
        }
        // ".tmp.ddd.<pid>-<n>.part": the process that wrote it.
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + begin.size(), &end, 10);
        if (pid <= 0 || end == nullptr || *end != '-') {
            continue;
        }
        // A process that is there (ours, or one we may not signal) still owns it.
        if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
            continue;
        }
        ::unlinkat(::dirfd(folder), name.c_str(), 0);
    }
    ::closedir(folder);
}
