// Reads a card download file back as its records, knowing only the file's
// layout: records of file identifier (2 bytes), type (00 contents, 01
// signature), length (2 bytes, big-endian) and data, for the elementary files
// of a first-generation driver card, each file's contents and signature at
// most once, a signature (128 bytes: the card's, or blanks) right
// after its own file's contents. A download whose reading of a file stopped
// halfway leaves that file's contents short of their length; the signature
// record follows at once.
#pragma once

#include <cstdint>
#include <string>

struct TDownloadFileCheck {
    enum TVerdict { Readable, Unreadable, Undecided };
    // Every record whole, the file ending with the last one.
    TVerdict Strict = Unreadable;
    // As Strict, but contents may stop short where their signature follows.
    // Only worked out when Strict is not Readable.
    TVerdict WithShortContents = Unreadable;
    // Bit i: the contents of KnownFids()[i] were found whole (strict reading).
    std::uint32_t WholeContents = 0;
};

TDownloadFileCheck CheckDownloadFile(const std::string& file);
// The elementary files a first-generation driver card download holds.
int KnownFidCount();
