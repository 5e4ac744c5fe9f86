// The archive's file operations on POSIX systems.
#include "archive/Archive.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace archive {

namespace {

// Closes a descriptor when it goes out of scope.
struct TDescriptor {
    int Fd = -1;
    ~TDescriptor() {
        if (Fd >= 0) {
            ::close(Fd);
        }
    }
};

void WriteAll(int fd, const char* data, std::size_t length, const std::string& path) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw TError(errno, path);
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

// The folder's own entry on disk, so that a rename in it survives a crash.
void SyncFolder(const std::string& folder) {
    TDescriptor dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.Fd >= 0) {
        ::fsync(dir.Fd);
    }
}

// Gives `from` the name `to` unless `to` exists: false then. A folder whose
// file system cannot rename without replacing (some network and FAT mounts)
// gets a hard link and the removal of the old name; one without hard links
// either is refused rather than risking a replacement.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        return false;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        throw TError(errno, to);
    }
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) {
            return false;
        }
        throw TError(errno, to);
    }
    ::unlink(from.c_str());
    return true;
}

} // namespace

std::string SystemText(int errorNumber) {
    char buffer[256] = {};
    // The GNU strerror_r, which may return a static text instead of filling
    // the buffer.
    const char* text = ::strerror_r(errorNumber, buffer, sizeof(buffer));
    return text != nullptr ? text : "error " + std::to_string(errorNumber);
}

void MakeFolder(const std::string& folder) {
    if (folder.empty()) {
        throw TError(ENOENT, folder);
    }
    std::string::size_type next = folder.find('/', 1);
    for (;;) {
        const std::string part = folder.substr(0, next);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            throw TError(errno, part);
        }
        if (next == std::string::npos) {
            break;
        }
        next = folder.find('/', next + 1);
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        throw TError(errno, folder);
    }
    if (!S_ISDIR(info.st_mode)) {
        throw TError(ENOTDIR, folder);
    }
}

namespace {

// The hidden copy's name: this process's id, so that RemoveStaleCopies can
// tell a crashed process's copy from a running one's.
std::string CopyPattern(const std::string& folder) {
    return folder + "/.dravik-" + std::to_string(::getpid()) + "-XXXXXX.part";
}

// Writes what `fill` gives into a new hidden copy in `folder`, flushed to
// disk; returns its name. `fill` writes through the function it is handed.
template <typename Fill> std::string WriteCopy(const std::string& folder, Fill fill) {
    MakeFolder(folder);
    std::string pattern = CopyPattern(folder);
    TDescriptor out{::mkostemps(pattern.data(), 5, O_CLOEXEC)};
    if (out.Fd < 0) {
        throw TError(errno, folder);
    }
    try {
        fill(
            [&](const char* data, std::size_t length) { WriteAll(out.Fd, data, length, pattern); });
        // On disk before it has its name: a crash after the rename must not
        // leave an archive file whose blocks never reached the disk.
        if (::fsync(out.Fd) != 0) {
            throw TError(errno, pattern);
        }
        const int fd = out.Fd;
        out.Fd = -1;
        if (::close(fd) != 0) {
            throw TError(errno, pattern);
        }
    } catch (...) {
        ::unlink(pattern.c_str());
        throw;
    }
    return pattern;
}

} // namespace

TStagedFile::TStagedFile(const std::string& source, const std::string& folder) : FFolder(folder) {
    MakeFolder(folder);
    TDescriptor in{::open(source.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.Fd < 0) {
        throw TError(errno, source);
    }
    FTemporary = WriteCopy(folder, [&](auto write) {
        char buffer[65536];
        for (;;) {
            const ssize_t count = ::read(in.Fd, buffer, sizeof(buffer));
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw TError(errno, source);
            }
            if (count == 0) {
                break;
            }
            write(buffer, static_cast<std::size_t>(count));
        }
    });
}

TStagedFile::TStagedFile(TBytes bytes, const std::string& folder) : FFolder(folder) {
    FTemporary =
        WriteCopy(folder, [&](auto write) { write(bytes.Data.data(), bytes.Data.size()); });
}

TStagedFile::~TStagedFile() {
    if (!FTemporary.empty()) {
        ::unlink(FTemporary.c_str());
    }
}

std::string TStagedFile::Commit(const std::string& downloadName, bool whole) {
    for (int counter = 1; counter < 100000; ++counter) {
        const std::string path = FFolder + "/" + FileName(downloadName, whole, counter);
        if (RenameNoReplace(FTemporary, path)) {
            FTemporary.clear();
            SyncFolder(FFolder);
            return path;
        }
    }
    throw TError(EEXIST, FFolder + "/" + FileName(downloadName, whole));
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

void RemoveStaleCopies(const std::string& folder) {
    if (folder.empty()) {
        return;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    const std::string begin = ".dravik-";
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(begin, 0) != 0 || name.size() < 5 ||
            name.compare(name.size() - 5, 5, ".part") != 0) {
            continue;
        }
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + begin.size(), &end, 10);
        if (pid <= 0 || end == nullptr || *end != '-') {
            continue;
        }
        // A process that is there (ours, or one we may not signal) still owns it.
        if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
            continue;
        }
        ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

bool FolderWritable(const std::string& folder) {
    // Tried rather than asked: access() answers for the real user, not for
    // the one the file system sees, and knows nothing of read-only mounts.
    std::string probe = folder + "/.dravik-probe-XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

TWorkingFile WorkingFilePath(const std::string& programFolder, const std::string& dataFolder) {
    const std::string beside = programFolder + "/" + kWorkingFileName;
    // Each download writes a file of its own beside the working file and
    // renames it into its place: the folder itself must take new files.
    if (FolderWritable(programFolder) || dataFolder.empty()) {
        return {beside, false};
    }
    MakeFolder(dataFolder);
    return {dataFolder + "/" + kWorkingFileName, true};
}

} // namespace archive
