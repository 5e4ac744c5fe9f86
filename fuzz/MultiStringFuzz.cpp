// MultiStringToList with any buffer: the buffer is exactly `length` bytes, so
// that ASan sees a read past it. It succeeds or refuses; a refusal leaves the
// list empty, and every name it gives is a whole, non-empty name.
#include "FuzzCheck.h"
#include "smartcard/PCSCRaw.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<char> buffer(data, data + size);
    // Names left from an earlier listing must never survive a call.
    std::vector<std::string> list{"stale reader", ""};
    const int result = MultiStringToList(buffer.empty() ? nullptr : buffer.data(),
                                         static_cast<DWORD>(buffer.size()), &list);
    FUZZ_CHECK(result == 0 || result == -1);
    if (result == -1) {
        FUZZ_CHECK(list.empty());
    } else {
        std::size_t characters = 0;
        for (const std::string& name : list) {
            FUZZ_CHECK(!name.empty());
            FUZZ_CHECK(name.find('\0') == std::string::npos);
            characters += name.size() + 1;
        }
        // Each name is followed by its NUL inside the buffer.
        FUZZ_CHECK(characters <= buffer.size());
    }
    FUZZ_CHECK(MultiStringToList(buffer.data(), static_cast<DWORD>(buffer.size()), nullptr) == -1);
    return 0;
}
