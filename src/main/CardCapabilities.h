// What a card says of itself in its answer to reset.
#pragma once

#include <string>

// Whether the ATR (hexadecimal text, as a reader object keeps it) carries the
// card capabilities of ISO/IEC 7816-4 in its historical bytes, compact-TLV
// tag 7, with extended Lc and Le fields said supported. A malformed or
// truncated ATR says nothing.
bool AnnouncesExtendedLength(const std::string& atr);

// Whether the contents of EF ATR/INFO (one char per byte, as read) carry the
// card capabilities data object (BER-TLV tag 47, the historical bytes' tag 7)
// with extended Lc and Le fields said supported. Malformed contents say nothing.
bool InfoAnnouncesExtendedLength(const std::string& contents);
