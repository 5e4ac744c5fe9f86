// What a driver card's download says, decoded: the card and its holder, the
// driver's days with their activity changes, vehicles, places, events,
// faults and controls. Plain C++ on bytes, no Qt; the same model for both
// generations (a second-generation card's lists come from its G2 part).
// Times are seconds since 1970-01-01 00:00 UTC; 0 means "not recorded".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace carddata {

using TTime = std::int64_t;

enum class TActivity : std::uint8_t { Rest = 0, Availability = 1, Work = 2, Driving = 3 };

// One ActivityChangeInfo word of a daily record, decoded ('scpaattttttttttt').
struct TActivityChange {
    std::uint16_t Minute = 0; // since 00:00 UTC of the day, 0..1439
    TActivity Activity = TActivity::Rest;
    bool CoDriver = false;     // slot 's'
    bool Crew = false;         // 'c' while the card is inserted
    bool CardInserted = true;  // 'p' == 0
    bool ManualEntry = false;  // 'c' while the card is not inserted: the activity is known
    // Not inserted and not entered by hand: what the driver did is unknown.
    bool Unknown() const { return !CardInserted && !ManualEntry; }
};

// One CardActivityDailyRecord, its changes in the record's order.
struct TDay {
    TTime Date = 0; // 00:00 UTC of the day
    int PresenceCounter = 0;
    int DistanceKm = 0;
    std::vector<TActivityChange> Changes;
};

// Minutes of each kind in one day; time after the last change runs to midnight.
struct TDayTotals {
    int Driving = 0, Work = 0, Availability = 0, Rest = 0, Unknown = 0;
};
TDayTotals Totals(const TDay& day);

struct TCard {
    std::string Number;
    std::string IssuingNation; // the nation's code as text, e.g. "HR"
    std::string IssuingAuthority;
    TTime IssueDate = 0, ValidityBegin = 0, ExpiryDate = 0;
};

struct TDriver {
    std::string Surname, FirstNames; // UTF-8, decoded by the name's code page
    TTime BirthDate = 0;             // 00:00 UTC of the day
    std::string LicenceNumber, LicenceNation;
};

struct TVehicle {
    std::string Registration, Nation;
    TTime FirstUse = 0, LastUse = 0;
    std::int64_t OdometerBegin = 0, OdometerEnd = 0;
    std::optional<std::string> Vin; // second generation only
};

struct TPlace {
    TTime Time = 0;
    bool Begin = true; // begin or end of the working day
    std::string Country, Region;
    std::int64_t Odometer = 0;
};

struct TEvent { // an event or a fault
    int Type = 0;
    std::string Name; // in English
    TTime Begin = 0, End = 0;
    std::string Vehicle; // "nation registration"
};

struct TControl {
    int Type = 0;
    TTime Time = 0;
    std::string Vehicle, ControlCard;
};

struct TCardData {
    int Generation = 1;
    TCard Card;
    TDriver Driver;
    std::optional<TTime> LastCardDownload;
    std::vector<TDay> Days; // ordered by date, one per daily record
    std::vector<TVehicle> Vehicles;
    std::vector<TPlace> Places;
    std::vector<TEvent> Events, Faults;
    std::vector<TControl> Controls;
    // One clear line per record that could not be decoded; never an exception.
    std::vector<std::string> Errors;
};

} // namespace carddata
