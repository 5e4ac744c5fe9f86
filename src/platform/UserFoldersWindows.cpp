// The user's folders and the window's settings on Windows: known folders and
// the registry key the window's toolkit writes.
#include "platform/UserFolders.h"
#include "platform/WideText.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

namespace platform {

namespace {

// The toolkit's form of a path: forward slashes.
std::string ForwardSlashes(std::string path) {
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

std::string KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path))) {
        folder = ForwardSlashes(WideToUtf8(path));
    }
    CoTaskMemFree(path);
    return folder;
}

} // namespace

std::string DocumentsFolder() {
    return KnownFolder(FOLDERID_Documents);
}

std::string AppDataFolder() {
    const std::string local = KnownFolder(FOLDERID_LocalAppData);
    return local.empty() ? std::string() : local + "/Dravik/Dravik";
}

std::optional<std::string> WindowSetting(const std::string& key) {
    const std::wstring name = Utf8ToWide(key);
    DWORD bytes = 0;
    constexpr wchar_t kKey[] = L"Software\\Dravik\\Dravik";
    if (RegGetValueW(HKEY_CURRENT_USER, kKey, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS ||
        bytes < sizeof(wchar_t)) {
        return std::nullopt;
    }
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, kKey, name.c_str(), RRF_RT_REG_SZ, nullptr, value.data(),
                     &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return WideToUtf8(value);
}

} // namespace platform
