// Where Dravik looks for the European root key file, and loading it. No key is
// built in: signatures are checked only against a key file the user placed.
#pragma once

#include "cardfile/CardFile.h"

#include <optional>
#include <string>
#include <vector>

namespace cardfile {

inline constexpr char kRootKeyFileName[] = "EC_PK.bin";

// The user's configuration folder for Dravik: %APPDATA%\Dravik where the
// system names one (Windows), else $XDG_CONFIG_HOME/dravik or
// $HOME/.config/dravik; empty when none of them is set.
std::string UserConfigDir();

// EC_PK.bin beside the program, then in the user's configuration folder.
std::vector<std::string> RootKeyPlaces(const std::string& programDir);

struct TRootKeyLookup {
    std::optional<TRootKey> Key;
    std::string Path;  // the file used, or the one that failed
    std::string Error; // why there is no key, for the log and the user
};

// The file at `path`; an unreadable file or one of the wrong size is an error.
TRootKeyLookup LoadRootKey(const std::string& path);
// The first of RootKeyPlaces that exists, loaded; "no root key file (EC_PK.bin
// beside the program or in ...)" when none does.
TRootKeyLookup FindRootKey(const std::string& programDir);

// The second generation's European root certificate, under the names it is
// published and kept under, looked for in the same places as EC_PK.bin.
inline constexpr const char* kRootG2FileNames[] = {"ERCA_Gen2_Root_Certificate.bin",
                                                   "ERCA Gen2 Root Certificate.bin", "ERCA-G2.bin",
                                                   "EC_PK_G2.bin"};
// The first of those files beside the program, then in the user's
// configuration folder; empty when there is none.
std::string FindRootG2(const std::string& programDir);

// The whole file, or nullopt when it cannot be opened or read.
std::optional<TBytes> ReadWholeFile(const std::string& path);

} // namespace cardfile
