#include "cardfile/RootKeyFile.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace cardfile {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

} // namespace

std::string UserConfigDir() {
    if (const std::string appData = Environment("APPDATA"); !appData.empty()) {
        return appData + "/Dravik";
    }
    if (const std::string xdg = Environment("XDG_CONFIG_HOME"); !xdg.empty()) {
        return xdg + "/dravik";
    }
    if (const std::string home = Environment("HOME"); !home.empty()) {
        return home + "/.config/dravik";
    }
    return {};
}

std::vector<std::string> RootKeyPlaces(const std::string& programDir) {
    std::vector<std::string> places{programDir + "/" + kRootKeyFileName};
    if (const std::string config = UserConfigDir(); !config.empty()) {
        places.push_back(config + "/" + kRootKeyFileName);
    }
    return places;
}

std::optional<TBytes> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
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
            const std::string place = folder + "/" + name;
            if (std::ifstream(place, std::ios::binary)) {
                return place;
            }
        }
    }
    return {};
}

TRootKeyLookup FindRootKey(const std::string& programDir) {
    const auto places = RootKeyPlaces(programDir);
    for (const std::string& place : places) {
        if (std::ifstream(place, std::ios::binary)) {
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
