// The card download file on a POSIX system: created for the owner only and
// held under an exclusive advisory lock while it is written.
#include "main/CardDownloadFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

std::string FileErrorMessage(int errorNumber) {
    if (errorNumber == EACCES || errorNumber == EPERM || errorNumber == EROFS) {
        return "File access denied";
    }
    return "I/O error " + std::to_string(errorNumber);
}

TCardDownloadFile::TCardDownloadFile(const std::string& path) {
    // No O_TRUNC: a file that another download is still writing must not be cut
    // before the lock tells us so. No following of a symbolic link: one put in
    // the file's place would have us cut and re-mode whatever it points to.
    const int handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (handle < 0) {
        throw TFileError(errno);
    }
    auto fail = [handle](int errorNumber) {
        ::close(handle);
        throw TFileError(errorNumber);
    };
    if (::flock(handle, LOCK_EX | LOCK_NB) != 0) {
        fail(errno);
    }
    struct stat info {};
    if (::fstat(handle, &info) != 0) {
        fail(errno);
    }
    // Devices (a test's /dev/full) are neither truncated nor have their mode
    // changed. Only our own file is made ours alone: another user's file that
    // lets us write it is written with the mode its owner chose.
    if (S_ISREG(info.st_mode)) {
        if (info.st_uid == ::geteuid() && (info.st_mode & 07777) != 0600 &&
            ::fchmod(handle, 0600) != 0) {
            fail(errno);
        }
        if (::ftruncate(handle, 0) != 0) {
            fail(errno);
        }
    }
    FHandle = handle;
}

TCardDownloadFile::~TCardDownloadFile() {
    if (FHandle >= 0) {
        ::close(static_cast<int>(FHandle));
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
    // The lock goes with the descriptor.
    if (::close(handle) != 0) {
        throw TFileError(errno);
    }
}
