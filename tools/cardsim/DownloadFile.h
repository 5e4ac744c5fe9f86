// A card image from a card download file, so that a real card's download can
// be replayed through the simulated card.
#pragma once

#include "cardsim/CardImage.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace cardsim {

// The file is a sequence of records: FID high, FID low, type, length (2 bytes,
// big-endian), data. Type 00 records give the files' contents: 0002 and 0005
// go under the master file, every other identifier under DF Tachograph.
// A signature record (01) directly after its file's contents record becomes the
// signature the card answers for that file; the second-generation records of
// newer cards (02, 03) are skipped. A truncated record, an unknown type or a file given
// twice makes the input malformed: nullopt, and `error` says where.
std::optional<TCardImage> ImageFromDownload(std::span<const std::uint8_t> bytes,
                                            std::string* error = nullptr);

} // namespace cardsim
