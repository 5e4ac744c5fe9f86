#include "contents/OpenCard.h"

#include "cardfile/CardFile.h"
#include "cardfile/RootKeyFile.h"
#include "platform/Platform.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

namespace contents {

namespace {

// By its UTF-8 name on every platform: an archived file's name carries the
// driver's, which the Windows code page may not hold.
std::optional<cardfile::TBytes> ReadFile(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    cardfile::TBytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace

TOpenedCard OpenCardFile(const std::string& path, const std::string& rootKeyPath,
                         const std::string& rootG2Path) {
    TOpenedCard opened;
    const std::optional<cardfile::TBytes> bytes = ReadFile(path);
    if (!bytes) {
        opened.Error = "cannot read " + path;
        return opened;
    }
    opened.Data = carddata::Decode(*bytes);

    const cardfile::TRootKeyLookup root = rootKeyPath.empty()
                                              ? cardfile::FindRootKey(platform::ExecutableDir())
                                              : cardfile::LoadRootKey(rootKeyPath);
    if (!root.Key) {
        opened.Signatures = {TSignatures::NotChecked, root.Error};
        return opened;
    }
    std::optional<cardfile::TBytes> rootG2;
    if (!rootG2Path.empty()) {
        rootG2 = cardfile::ReadWholeFile(rootG2Path);
    }
    const cardfile::TReport report =
        cardfile::Verify(*bytes, &*root.Key, rootG2 ? &*rootG2 : nullptr);
    opened.Signatures = {report.AllValid() ? TSignatures::Valid : TSignatures::NotValid,
                         report.Summary()};
    return opened;
}

} // namespace contents
