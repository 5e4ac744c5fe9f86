#include "main/CardCapabilities.h"

#include "main/CardSession.h"

#include <array>

namespace {

// Category indicators of the historical bytes: compact-TLV objects follow,
// with a three-byte status after them (00) or the status, if any, among them (80).
constexpr std::uint8_t kTlvThenStatus = 0x00;
constexpr std::uint8_t kTlvOnly = 0x80;
constexpr std::size_t kStatusLength = 3;
constexpr std::uint8_t kCapabilitiesTag = 0x7;
// The same object in BER-TLV, as EF ATR/INFO holds it.
constexpr std::uint8_t kCapabilitiesBerTag = 0x47;
// The third software function table's bit for extended Lc and Le fields.
constexpr std::uint8_t kExtendedLengthBit = 0x40;

} // namespace

bool AnnouncesExtendedLength(const std::string& atr) {
    std::array<std::uint8_t, 64> bytes{};
    const std::size_t size = HexToBytes(atr, bytes.data(), bytes.size());
    if (size < 2) {
        return false;
    }
    // T0, then each group of interface bytes as its TD byte announces them.
    std::size_t i = 2;
    unsigned present = bytes[1] >> 4;
    const std::size_t historical = bytes[1] & 0x0F;
    for (;;) {
        i += (present & 1) + (present >> 1 & 1) + (present >> 2 & 1);
        if ((present & 8) == 0) {
            break;
        }
        if (i >= size) {
            return false;
        }
        present = bytes[i++] >> 4;
    }
    if (historical == 0 || i + historical > size) {
        return false;
    }
    std::size_t end = i + historical;
    const std::uint8_t category = bytes[i++];
    if (category == kTlvThenStatus) {
        if (end - i < kStatusLength) {
            return false;
        }
        end -= kStatusLength;
    } else if (category != kTlvOnly) {
        return false;
    }
    while (i < end) {
        const std::uint8_t tag = bytes[i] >> 4;
        const std::size_t length = bytes[i] & 0x0F;
        ++i;
        if (i + length > end) {
            return false;
        }
        if (tag == kCapabilitiesTag && length >= 3) {
            return (bytes[i + 2] & kExtendedLengthBit) != 0;
        }
        i += length;
    }
    return false;
}

bool InfoAnnouncesExtendedLength(const std::string& contents) {
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(contents[at]); };
    std::size_t i = 0;
    while (i < contents.size()) {
        // 00 and FF before and between objects are padding.
        if (byte(i) == 0x00 || byte(i) == 0xFF) {
            ++i;
            continue;
        }
        const std::uint8_t first = byte(i++);
        const bool oneByteTag = (first & 0x1F) != 0x1F;
        while (!oneByteTag && i < contents.size() && (byte(i++) & 0x80) != 0) {
        }
        if (i >= contents.size()) {
            return false;
        }
        std::size_t length = byte(i++);
        if (length > 0x80) {
            const std::size_t lengthBytes = length & 0x7F;
            if (lengthBytes > 2 || contents.size() - i < lengthBytes) {
                return false;
            }
            length = 0;
            for (std::size_t k = 0; k < lengthBytes; ++k) {
                length = length << 8 | byte(i++);
            }
        } else if (length == 0x80) {
            return false;
        }
        if (contents.size() - i < length) {
            return false;
        }
        if (oneByteTag && first == kCapabilitiesBerTag && length >= 3) {
            return (byte(i + 2) & kExtendedLengthBit) != 0;
        }
        i += length;
    }
    return false;
}
