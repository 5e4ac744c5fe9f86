// The upper halves of the ISO/IEC 8859 parts, for Iso8859ToUtf8.
#pragma once

#include <cstdint>

namespace platform::detail {

// Row `part - 2`, column `byte - 0xA0`: the code point, or 0 when undefined.
extern const std::uint16_t kIso8859High[15][96];

} // namespace platform::detail
