// What the platform layer asks of Windows.
#include "platform/Platform.h"
#include "platform/WideText.h"

#include <windows.h>

#include <shellapi.h>

#include <vector>

namespace platform {

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), needed);
    return wide;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), needed, nullptr, nullptr);
    return narrow;
}

std::string ExecutableDir() {
    // MAX_PATH is no limit for a module's path: grow until the name fits.
    std::vector<wchar_t> path(MAX_PATH);
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return ".";
        }
        if (length < path.size()) {
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::wstring full(path.data(), length);
    const auto separator = full.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return ".";
    }
    // "C:\dravik.exe" keeps its backslash: "C:" alone would mean the drive's
    // current folder.
    const bool driveRoot = separator == 2 && full[1] == L':';
    return WideToUtf8(full.substr(0, driveRoot ? separator + 1 : separator));
}

std::string EnvironmentVariable(const char* name) {
    const std::wstring wideName = Utf8ToWide(name);
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
    value.resize(length < size ? length : 0);
    return WideToUtf8(value);
}

std::vector<std::string> Utf8Arguments(int argc, char* argv[]) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(WideToUtf8(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

void UseUtf8Console() {
    SetConsoleOutputCP(CP_UTF8);
}

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    return local;
}

} // namespace platform
