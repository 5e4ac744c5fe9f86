#include "platform/Platform.h"

#include <chrono>
#include <iconv.h>
#include <limits.h>
#include <unistd.h>

namespace platform {

std::uint32_t TickCount32() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
}

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return ".";
    }
    std::string full(path, static_cast<std::size_t>(length));
    const auto slash = full.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : full.substr(0, slash));
}

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

namespace {

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

} // namespace

std::string Iso8859ToUtf8(const std::string& bytes, int part) {
    std::string out;
    out.reserve(bytes.size() * 2);
    // Part 12 was never published; everything outside 1..16 reads as Latin-1.
    iconv_t cd = (iconv_t)-1;
    if (part >= 2 && part <= 16 && part != 12) {
        const std::string name = "ISO-8859-" + std::to_string(part);
        cd = iconv_open("UTF-8", name.c_str());
    }
    for (unsigned char byte : bytes) {
        if (byte < 0x80 || cd == (iconv_t)-1) {
            AppendUtf8(out, byte);
            continue;
        }
        char in[1] = {static_cast<char>(byte)};
        char converted[8];
        char* inPtr = in;
        char* outPtr = converted;
        size_t inLeft = 1;
        size_t outLeft = sizeof(converted);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
            AppendUtf8(out, 0xFFFD);
        } else {
            out.append(converted, static_cast<std::size_t>(outPtr - converted));
        }
    }
    if (cd != (iconv_t)-1) {
        iconv_close(cd);
    }
    return out;
}

} // namespace platform
