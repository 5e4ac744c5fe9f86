#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

bool TDynamicLibrary::Open(const std::string& name) {
    Close();
    Handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    return Handle != nullptr;
}

void TDynamicLibrary::Close() {
    if (Handle != nullptr) {
        dlclose(Handle);
        Handle = nullptr;
    }
}

void* TDynamicLibrary::Symbol(const char* name) const {
    return Handle != nullptr ? dlsym(Handle, name) : nullptr;
}
