#include "contents/OpenCard.h"

#include "cardfile/CardFile.h"
#include "cardfile/RootKeyFile.h"
#include "platform/Platform.h"

#include <optional>

namespace contents {

TOpenedCard OpenCardFile(const std::string& path, const std::string& rootKeyPath,
                         const std::string& rootG2Path) {
    TOpenedCard opened;
    const std::optional<cardfile::TBytes> bytes = cardfile::ReadWholeFile(path);
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
