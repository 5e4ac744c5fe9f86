// The embedded register's file on Windows. It lies in the archive folder,
// under the user's profile, whose permissions already keep it to its owner.
#include "register/Register.h"

#include "archive/Archive.h"

#include <filesystem>

namespace registry {

void PrepareOwnerOnlyFile(const std::string& path) {
    const std::filesystem::path file(
        std::u8string(reinterpret_cast<const char8_t*>(path.data()), path.size()));
    const std::u8string folder = file.parent_path().u8string();
    try {
        if (!folder.empty()) {
            archive::MakeFolder(std::string(folder.begin(), folder.end()));
        }
    } catch (const archive::TError& error) {
        throw TStoreError(std::string("cannot make the register's folder: ") + error.what());
    }
}

} // namespace registry
