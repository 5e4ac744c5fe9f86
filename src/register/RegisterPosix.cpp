// The embedded register's file on POSIX systems: its owner's alone, as the
// archive's files are.
#include "register/Register.h"

#include "archive/Archive.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace registry {

void PrepareOwnerOnlyFile(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    try {
        if (!folder.empty()) {
            archive::MakeFolder(folder);
        }
    } catch (const archive::TError& error) {
        throw TStoreError(std::string("cannot make the register's folder: ") + error.what());
    }
    // The journal SQLite writes beside the file takes the file's mode.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw TStoreError("cannot open the register " + path + ": " + archive::SystemText(errno));
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && (status.st_mode & 077) != 0 && status.st_uid == ::geteuid()) {
        ::fchmod(fd, 0600);
    }
    ::close(fd);
    if (!folder.empty() && ::stat(folder.c_str(), &status) == 0 && (status.st_mode & 077) != 0 &&
        status.st_uid == ::geteuid()) {
        ::chmod(folder.c_str(), status.st_mode & 0700);
    }
}

} // namespace registry
