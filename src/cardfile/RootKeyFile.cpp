#include "cardfile/RootKeyFile.h"

#include "platform/Platform.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace cardfile {

namespace {

// Paths here are UTF-8; std::filesystem's narrow strings are the ANSI code
// page on Windows, which cannot name a folder such as C:\Users\Željko.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// `folder` and `name` joined with the platform's own separator, as the
// program's folder and the user's paths come.
std::string Join(const std::string& folder, const std::string& name) {
    const std::u8string text = (PathOf(folder) / PathOf(name)).u8string();
    return std::string(text.begin(), text.end());
}

bool Exists(const std::string& path) {
    return static_cast<bool>(std::ifstream(PathOf(path), std::ios::binary));
}

} // namespace

std::string UserConfigDir() {
    if (const std::string appData = platform::EnvironmentVariable("APPDATA"); !appData.empty()) {
        return Join(appData, "Dravik");
    }
    if (const std::string xdg = platform::EnvironmentVariable("XDG_CONFIG_HOME"); !xdg.empty()) {
        return Join(xdg, "dravik");
    }
    if (const std::string home = platform::EnvironmentVariable("HOME"); !home.empty()) {
        return Join(Join(home, ".config"), "dravik");
    }
    return {};
}

std::vector<std::string> RootKeyPlaces(const std::string& programDir) {
    std::vector<std::string> places{Join(programDir, kRootKeyFileName)};
    if (const std::string config = UserConfigDir(); !config.empty()) {
        places.push_back(Join(config, kRootKeyFileName));
    }
    return places;
}

std::optional<TBytes> ReadWholeFile(const std::string& path) {
    std::ifstream in(PathOf(path), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    TBytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

TRootKeyLookup LoadRootKey(const std::string& path) {
    TRootKeyLookup lookup;
    lookup.Path = path;
    const auto bytes = ReadWholeFile(path);
    if (!bytes) {
        lookup.Error = "the root key file " + path + " cannot be read";
        return lookup;
    }
    std::string error;
    lookup.Key = ReadRootKey(*bytes, &error);
    if (!lookup.Key) {
        lookup.Error = "the root key file " + path + " is not a root key: " + error;
    }
    return lookup;
}

std::string FindRootG2(const std::string& programDir) {
    std::vector<std::string> folders{programDir};
    if (const std::string config = UserConfigDir(); !config.empty()) {
        folders.push_back(config);
    }
    for (const std::string& folder : folders) {
        for (const char* name : kRootG2FileNames) {
            const std::string place = Join(folder, name);
            if (Exists(place)) {
                return place;
            }
        }
    }
    return {};
}

TRootKeyLookup FindRootKey(const std::string& programDir) {
    const auto places = RootKeyPlaces(programDir);
    for (const std::string& place : places) {
        if (Exists(place)) {
            return LoadRootKey(place);
        }
    }
    TRootKeyLookup lookup;
    lookup.Error = std::string("no root key file (") + kRootKeyFileName + " beside the program";
    if (places.size() > 1) {
        lookup.Error += " or in " + UserConfigDir();
    }
    lookup.Error += ")";
    return lookup;
}

} // namespace cardfile
