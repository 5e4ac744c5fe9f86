// StoreResponse with every answer of 0 to 261 bytes, in a buffer exactly that
// long: the status word is the last two bytes as four upper-case hexadecimal
// digits (none for an answer too short to have one), the data is what precedes
// them, and the hexadecimal form reads back as the data.
#include "FuzzCheck.h"
#include "QuietSession.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

int UpperDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The value of two upper-case hexadecimal digits, or -1.
int ByteOf(char high, char low) {
    const int h = UpperDigit(high);
    const int l = UpperDigit(low);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TQuietSession session;
    const std::size_t n = std::min<std::size_t>(size, kExchangeBufferSize);
    const std::vector<std::uint8_t> answer(data, data + n);
    // As before every exchange: no status word yet, the last answer's data still held.
    session.FStatusWord.clear();
    session.FResponseData = "left from the last answer";
    session.FResponseHex = "6C 65 66 74 ";

    session.StoreResponse(answer.data(), static_cast<DWORD>(n));

    const std::string& status = session.FStatusWord;
    const std::string& bytes = session.FResponseData;
    const std::string& hex = session.FResponseHex;
    if (n < 2) {
        FUZZ_CHECK(status.empty());
        FUZZ_CHECK(bytes.empty());
        FUZZ_CHECK(hex.empty());
        return 0;
    }
    FUZZ_CHECK(status.size() == 4);
    FUZZ_CHECK(ByteOf(status[0], status[1]) == answer[n - 2]);
    FUZZ_CHECK(ByteOf(status[2], status[3]) == answer[n - 1]);
    FUZZ_CHECK(bytes.size() == n - 2);
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), answer.begin(), [](char c, std::uint8_t b) {
        return static_cast<std::uint8_t>(c) == b;
    }));
    FUZZ_CHECK(hex.size() == 3 * (n - 2));
    for (std::size_t i = 0; i < n - 2; ++i) {
        FUZZ_CHECK(ByteOf(hex[3 * i], hex[3 * i + 1]) == answer[i]);
        FUZZ_CHECK(hex[3 * i + 2] == ' ');
    }
    return 0;
}
