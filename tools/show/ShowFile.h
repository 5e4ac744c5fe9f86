// Reading a card download file for dravik-show: decoded, and its signatures
// checked as dravik-verify checks them.
#pragma once

#include "ShowJson.h"
#include "cardfile/CardFile.h"

#include <optional>
#include <string>

// "valid", "not valid" or "not checked" (no root to check against).
std::string SignatureVerdict(const cardfile::TReport& report);

// The file decoded; nullopt and `error` when it cannot be read or holds no
// record at all.
std::optional<TShown> LoadShown(const std::string& path, const cardfile::TRootKey* root,
                                const cardfile::TBytes* rootG2, std::string* error);
