// A card download file opened for the card-contents window and the report:
// read, decoded and its signatures checked. Plain C++, no Qt.
#pragma once

#include "carddata/CardData.h"
#include "contents/ContentsText.h"

#include <cstdint>
#include <span>
#include <string>

namespace contents {

struct TOpenedCard {
    // Why the file could not be read; empty when it was, and Data holds it.
    std::string Error;
    carddata::TCardData Data;
    TSignatureVerdict Signatures;
};

// `rootKeyPath` empty: EC_PK.bin where the download looks for it.
// `rootG2Path` empty: the second-generation part is not checked.
TOpenedCard OpenCardFile(const std::string& path, const std::string& rootKeyPath = {},
                         const std::string& rootG2Path = {});

} // namespace contents
