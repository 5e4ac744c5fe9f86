// A driver card image built from a handful of choices, with plausible,
// deterministic contents: 28 days of a driver's work on three vehicles with
// their odometers, the places where each day began and ended, a few events and
// a fault, a control, and the certificates and signing key of the project's
// test PKI. The defaults give a card at full size.
#pragma once

#include "cardsim/CardImage.h"

#include <cstdint>
#include <string>

namespace cardsim {

struct TCardOptions {
    // The counts EF Application_Identification announces; the sized files are
    // built to match them (events × 144, faults × 48, vehicles × 31 + 2,
    // places × 10 + 1, activity structure + 4 bytes).
    std::uint8_t EventsPerType = 12;
    std::uint8_t FaultsPerType = 24;
    std::uint16_t ActivityStructureLength = 13776;
    std::uint16_t VehicleRecords = 200;
    std::uint8_t PlaceRecords = 112;
    // 16 characters; cut or padded with blanks to 16.
    std::string CardNumber = "D100000012345600";
    // Holder names as bytes of the code page that NameCodePage names (ISO/IEC
    // 8859 part number); cut or padded with blanks to 35. The defaults are
    // ŠIMUNOVIĆ and Željko in ISO/IEC 8859-2.
    std::uint8_t NameCodePage = 0x02;
    std::string Surname = "\xA9"
                          "IMUNOVI"
                          "\xC6";
    std::string FirstNames = "\xAE"
                             "eljko";
    // Moves start times, distances, vehicles and the chip's serial numbers;
    // same seed, same card.
    std::uint32_t Seed = 1;
};

TCardImage BuildDriverCard(const TCardOptions& options = {});

} // namespace cardsim
