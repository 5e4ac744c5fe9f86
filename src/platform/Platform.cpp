#include "platform/Platform.h"

#include "platform/Iso8859Tables.h"

#include <chrono>

namespace platform {

std::uint32_t TickCount32() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
}

void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string Iso8859ToUtf8(const std::string& bytes, int part) {
    std::string out;
    out.reserve(bytes.size() * 2);
    // Part 12 was never published; everything outside 1..16 reads as Latin-1,
    // whose code points are the byte values themselves.
    const bool tabled = part >= 2 && part <= 16 && part != 12;
    for (unsigned char byte : bytes) {
        if (byte < 0xA0 || !tabled) {
            AppendUtf8(out, byte);
            continue;
        }
        const unsigned code = detail::kIso8859High[part - 2][byte - 0xA0];
        AppendUtf8(out, code != 0 ? code : 0xFFFD);
    }
    return out;
}

} // namespace platform
