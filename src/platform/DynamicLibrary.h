// A shared library loaded by name at run time, released when the object goes.
#pragma once

#include <string>

class TDynamicLibrary {
public:
    TDynamicLibrary() = default;
    ~TDynamicLibrary() { Close(); }
    TDynamicLibrary(const TDynamicLibrary&) = delete;
    TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;
    TDynamicLibrary(TDynamicLibrary&& other) noexcept : Handle(other.Handle) {
        other.Handle = nullptr;
    }
    TDynamicLibrary& operator=(TDynamicLibrary&& other) noexcept {
        if (this != &other) {
            Close();
            Handle = other.Handle;
            other.Handle = nullptr;
        }
        return *this;
    }

    // A name with a slash (or, on Windows, a backslash) is taken as a path. A
    // bare name goes through the normal search on Linux; on Windows it is
    // taken from the system folder only.
    bool Open(const std::string& name);
    void Close();
    bool IsOpen() const { return Handle != nullptr; }
    // The address of an exported name, or null.
    void* Symbol(const char* name) const;

private:
    void* Handle = nullptr;
};
