// A driver card image built from a handful of choices, with plausible,
// deterministic contents: 28 days of a driver's work on three vehicles with
// their odometers, the places where each day began and ended, a few events and
// a fault, a control, and the certificates and signing key of the project's
// test PKI. The defaults give a card at full size.
#pragma once

#include "cardsim/CardImage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cardsim {

// One activity change of a planned day, as the card's daily record keeps it.
struct TActivityEntry {
    std::uint16_t Minute = 0;  // since 00:00 UTC
    std::uint8_t Activity = 0; // 0 rest, 1 availability, 2 work, 3 driving
    bool CardInserted = true;
    bool Manual = false;   // not inserted: the activity was entered by hand
    bool Crew = false;     // inserted: crew driving
    bool CoDriver = false; // the card in the co-driver's slot
};

// A day of the card's period with a daily record: `Day` counts from the first
// day of the period (a Monday when TCardOptions::DayCount is a whole number of
// weeks), the changes begin at minute 0. A day with driving or work gets a
// vehicle, places and a distance from its driving time.
struct TActivityDay {
    int Day = 0;
    std::vector<TActivityEntry> Changes;
};

// Four weeks of a regional haulage driver by default: weekdays that begin
// between 05:00 and 06:30 with the vehicle check and loading, driving in
// spells of at most 4 h 30 min with split or whole breaks, unloading and
// waiting, a daily rest of 11 h or more; Saturday and Sunday a weekly rest,
// the card out and the rest entered by hand. The seed moves the times.
std::vector<TActivityDay> SampleActivity(std::uint32_t seed, int dayCount);

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
    // The days of activity, ending the day before the card's last download.
    int DayCount = 28;
    // The days and their changes; empty: SampleActivity(Seed, DayCount).
    std::vector<TActivityDay> Activity;

    // 0: a first-generation card. 1 or 2: a second-generation card of that
    // structure version, with DF Tachograph_G2 beside DF Tachograph.
    int Gen2Version = 0;
    // The card's second-generation key on NIST P-384 (96-byte signatures)
    // instead of brainpoolP256r1.
    bool Gen2OnP384 = false;
    // The second generation's own counts (the others are shared above).
    std::uint16_t GnssRecords = 336;
    std::uint16_t Gen2PlaceRecords = 112;
    std::uint16_t SpecificConditionRecords = 112;
    std::uint16_t VehicleUnitRecords = 200;
    std::uint16_t BorderCrossingRecords = 56;
    std::uint16_t LoadUnloadRecords = 56;
    std::uint16_t LoadTypeEntryRecords = 56;
};

TCardImage BuildDriverCard(const TCardOptions& options = {});

} // namespace cardsim
