// The card download file a whole download of a card image gives: every file
// in the download's order, the first generation's signed files with the
// card's RSA signature and, on a second-generation card, the G2 part with its
// ECDSA signatures. For tests, benchmarks and seeds that want a download
// without running one.
#pragma once

#include "cardsim/CardImage.h"

#include <cstdint>
#include <vector>

namespace cardsim {

std::vector<std::uint8_t> DownloadOf(const TCardImage& image);

} // namespace cardsim
