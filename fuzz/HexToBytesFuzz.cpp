// HexToBytes with any text and any capacity: it never writes past the buffer
// (one exactly `capacity` long, so that ASan sees a byte too far), and it
// gives the bytes that the text's hexadecimal digits spell, as far as they fit.
#include "FuzzCheck.h"
#include "main/CardSession.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint8_t kUntouched = 0xA5;

int DigitOf(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the capacity: 0 to 255, around the 261 of an exchange
    // buffer's worth of text and well below it.
    const std::size_t capacity = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::uint8_t> buffer(capacity, kUntouched);

    const std::size_t count = HexToBytes(text, buffer.data(), capacity);

    std::vector<int> digits;
    for (const char c : text) {
        const int digit = DigitOf(static_cast<unsigned char>(c));
        if (digit >= 0) {
            digits.push_back(digit);
        }
    }
    const std::size_t spelled = (digits.size() + 1) / 2;
    FUZZ_CHECK(count == std::min(capacity, spelled));
    for (std::size_t i = 0; i < count; ++i) {
        const int low = 2 * i + 1 < digits.size() ? digits[2 * i + 1] : 0;
        FUZZ_CHECK(buffer[i] == digits[2 * i] * 16 + low);
    }
    for (std::size_t i = count; i < capacity; ++i) {
        FUZZ_CHECK(buffer[i] == kUntouched);
    }
    return 0;
}
