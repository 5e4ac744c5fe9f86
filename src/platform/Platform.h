// Small things the platform gives: ticks, the executable's folder, local time,
// text in a single-byte code page.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace platform {

// Milliseconds since some fixed moment, as 32 bits that wrap around.
std::uint32_t TickCount32();
// Milliseconds between two ticks, right across a wrap-around.
inline std::uint32_t TicksBetween(std::uint32_t start, std::uint32_t end) {
    return end - start;
}

// The folder that holds the running executable, without a trailing slash.
std::string ExecutableDir();

// The program's arguments as UTF-8. Windows hands main() its ANSI code page,
// in which a name such as Željko may not exist: there they are read anew from
// the wide-character command line. On Linux they are argv as given.
std::vector<std::string> Utf8Arguments(int argc, char* argv[]);
// An environment variable's value as UTF-8; empty when it is not set. Windows
// gives getenv() its ANSI code page, as it gives main() (C:\Users\Željko).
std::string EnvironmentVariable(const char* name);
// Makes a console show the program's UTF-8 output as such (Windows consoles
// start in an OEM code page); nothing to do on Linux.
void UseUtf8Console();

// The local date and time now.
std::tm LocalNow();

// Appends a code point of the Basic Multilingual Plane as UTF-8.
void AppendUtf8(std::string& out, unsigned code);

// Text of ISO/IEC 8859 part `part` (1 to 16) as UTF-8; any other part is read as
// Latin-1. Bytes the part does not define become U+FFFD.
std::string Iso8859ToUtf8(const std::string& bytes, int part);

} // namespace platform
