#include "ShowFile.h"

#include "cardfile/RootKeyFile.h"

#include <algorithm>

std::string SignatureVerdict(const cardfile::TReport& report) {
    if (report.AllValid()) {
        return "valid";
    }
    auto invalid = [](const std::vector<cardfile::TBlock>& blocks) {
        return std::any_of(blocks.begin(), blocks.end(), [](const cardfile::TBlock& b) {
            return b.Verdict == cardfile::TVerdict::Invalid;
        });
    };
    const bool anyInvalid = !report.FileError.empty() ||
                            report.Chain == cardfile::TChain::Invalid ||
                            report.ChainG2 == cardfile::TChain::Invalid || invalid(report.Blocks) ||
                            invalid(report.BlocksG2);
    const bool unchecked = report.Chain == cardfile::TChain::NotChecked ||
                           (report.HasG2 && report.ChainG2 == cardfile::TChain::NotChecked);
    return !anyInvalid && unchecked ? "not checked" : "not valid";
}

std::optional<TShown> LoadShown(const std::string& path, const cardfile::TRootKey* root,
                                const cardfile::TBytes* rootG2, std::string* error) {
    const auto bytes = cardfile::ReadWholeFile(path);
    if (!bytes) {
        *error = "cannot read " + path;
        return std::nullopt;
    }
    TShown shown;
    shown.Data = carddata::Decode(*bytes);
    if (shown.Data.RecordCount == 0) {
        *error = path + " is not a card download file: " +
                 (shown.Data.Errors.empty() ? "it is empty" : shown.Data.Errors.front());
        return std::nullopt;
    }
    shown.Signatures = SignatureVerdict(cardfile::Verify(*bytes, root, rootG2));
    return shown;
}
