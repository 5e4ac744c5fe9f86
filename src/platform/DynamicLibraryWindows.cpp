#include "platform/DynamicLibrary.h"
#include "platform/WideText.h"

#include <windows.h>

#include <algorithm>

bool TDynamicLibrary::Open(const std::string& name) {
    Close();
    std::wstring wide = platform::Utf8ToWide(name);
    HMODULE module = nullptr;
    if (wide.find_first_of(L"\\/") != std::wstring::npos) {
        // A path: the library's own folder is searched for what it needs.
        // LoadLibraryEx wants backslashes with this flag.
        std::replace(wide.begin(), wide.end(), L'/', L'\\');
        module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    } else {
        // A bare name comes from the system folder only, never from the
        // program's folder or the current one, where anyone could plant a
        // library of that name.
        module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    Handle = module;
    return Handle != nullptr;
}

void TDynamicLibrary::Close() {
    if (Handle != nullptr) {
        FreeLibrary(static_cast<HMODULE>(Handle));
        Handle = nullptr;
    }
}

void* TDynamicLibrary::Symbol(const char* name) const {
    if (Handle == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(Handle), name));
}
