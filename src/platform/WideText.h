// UTF-8 and the UTF-16 of the Windows wide-character API. Windows only: the
// narrow ("A") file and library functions read the ANSI code page, in which a
// folder such as C:\Users\Željko may not even be expressible.
#pragma once

#include <string>

namespace platform {

// Invalid UTF-8 becomes U+FFFD; the result never holds a NUL of its own.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

} // namespace platform
