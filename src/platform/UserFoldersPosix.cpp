// The user's folders and the window's settings on Linux, where the window's
// toolkit follows the XDG base directories.
#include "platform/UserFolders.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <unistd.h>

namespace platform {

namespace {

std::string Home() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/";
}

// $variable when set to an absolute path, else the home folder's `fallback`.
std::string XdgFolder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    return Home() + fallback;
}

std::optional<std::string> ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

std::string DocumentsFolder() {
    const auto dirs = ReadText(XdgFolder("XDG_CONFIG_HOME", "/.config") + "/user-dirs.dirs");
    if (dirs) {
        // XDG_DOCUMENTS_DIR="$HOME/Documents": the shell form xdg-user-dirs writes.
        const std::string key = "XDG_DOCUMENTS_DIR=";
        std::size_t at = 0;
        while ((at = dirs->find(key, at)) != std::string::npos) {
            const bool lineStart = at == 0 || (*dirs)[at - 1] == '\n';
            at += key.size();
            if (!lineStart) {
                continue;
            }
            std::string value = dirs->substr(at, dirs->find('\n', at) - at);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            if (value.rfind("$HOME", 0) == 0) {
                value = Home() + value.substr(5);
            }
            if (!value.empty() && value.front() == '/') {
                while (value.size() > 1 && value.back() == '/') {
                    value.pop_back();
                }
                return value;
            }
        }
    }
    return Home() + "/Documents";
}

std::string AppDataFolder() {
    return XdgFolder("XDG_DATA_HOME", "/.local/share") + "/Dravik";
}

std::optional<std::string> WindowSetting(const std::string& key) {
    // The window names no organization on Linux, so its toolkit files the
    // settings under "Unknown Organization", the application's file first,
    // then the organization's.
    const std::string folder = XdgFolder("XDG_CONFIG_HOME", "/.config") + "/Unknown Organization";
    for (const std::string& path : {folder + "/Dravik.conf", folder + ".conf"}) {
        if (const auto text = ReadText(path)) {
            if (auto value = IniGeneralValue(*text, key)) {
                return value;
            }
        }
    }
    return std::nullopt;
}

} // namespace platform
