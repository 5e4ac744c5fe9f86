// What a driver card's download says, decoded: the card and its holder, the
// driver's days with their activity changes, vehicles, places, events,
// faults and controls. Plain C++ on bytes, no Qt; the same model for both
// generations (a second-generation card's lists come from its G2 part).
// Times are seconds since 1970-01-01 00:00 UTC; 0 means "not recorded".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace carddata {

using TTime = std::int64_t;

enum class TActivity : std::uint8_t { Rest = 0, Availability = 1, Work = 2, Driving = 3 };

// One ActivityChangeInfo word of a daily record, decoded ('scpaattttttttttt').
struct TActivityChange {
    std::uint16_t Minute = 0; // since 00:00 UTC of the day, 0..1439
    TActivity Activity = TActivity::Rest;
    bool CoDriver = false;    // slot 's'
    bool Crew = false;        // 'c' while the card is inserted
    bool CardInserted = true; // 'p' == 0
    bool ManualEntry = false; // 'c' while the card is not inserted: the activity is known
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
    std::string LicenceAuthority;  // the authority that issued the licence
    std::string PreferredLanguage; // ISO 639 code, e.g. "hr"
};

struct TVehicle {
    std::string Registration, Nation;
    TTime FirstUse = 0, LastUse = 0;
    std::int64_t OdometerBegin = 0, OdometerEnd = 0;
    std::optional<std::string> Vin; // second generation only
};

// A position a second-generation vehicle unit took from its GNSS receiver.
struct TGnssPlace {
    TTime Time = 0;
    int Accuracy = 0;                   // the receiver's HDOP × 10
    double Latitude = 0, Longitude = 0; // degrees, north and east positive
    bool Valid = false;                 // false: the receiver gave no position
};

struct TPlace {
    TTime Time = 0;
    bool Begin = true; // begin or end of the working day
    std::string Country, Region;
    std::int64_t Odometer = 0;
    int EntryType = 0;              // EntryTypeDailyWorkPeriod as recorded
    std::optional<TGnssPlace> Gnss; // second generation only
    // Second generation, version 2: whether the position was authenticated.
    std::optional<bool> Authenticated;
};

struct TEvent { // an event or a fault
    int Type = 0;
    std::string Name; // in English
    TTime Begin = 0, End = 0;
    std::string Vehicle; // "nation registration"
};

struct TControl {
    int Type = 0; // 'cvpdxxxx': card and VU downloaded, printed, displayed
    TTime Time = 0;
    std::string Vehicle, ControlCard; // ControlCard: the control card's number
    TTime DownloadPeriodBegin = 0, DownloadPeriodEnd = 0;
};

// EF ICC and EF IC: the chip and its card, as the manufacturer wrote them.
struct TChip {
    int ClockStop = 0;
    std::uint32_t SerialNumber = 0;
    std::string ManufactureMonthYear; // "MM/YY"
    int SerialType = 0, ManufacturerCode = 0;
    std::string ApprovalNumber;
    int PersonaliserId = 0;
    std::string EmbedderIcAssemblerId; // as hex
    std::string IcIdentifier;          // as hex
    std::uint32_t IcSerialNumber = 0;
    std::string IcManufacturingReferences; // as hex
};

// EF Application_Identification of the part the lists come from: the sizes
// the card was made with.
struct TApplication {
    int CardType = 0;
    int StructureVersion = 0; // cardStructureVersion, 'aabb' as one number
    int EventsPerType = 0, FaultsPerType = 0;
    int ActivityStructureLength = 0;
    int VehicleRecords = 0, PlaceRecords = 0;
    // Second generation.
    int GnssRecords = 0, SpecificConditionRecords = 0, VehicleUnitRecords = 0;
    // Second generation, version 2 (EF Application_Identification_V2).
    int BorderCrossingRecords = 0, LoadUnloadRecords = 0, LoadTypeEntryRecords = 0;
};

struct TCurrentUsage {
    TTime SessionOpenTime = 0;
    std::string Vehicle;
};

struct TSpecificCondition {
    TTime Time = 0;
    int Type = 0; // 1 out of scope begins, 2 ends, 3 ferry or train crossing, ...
};

// Second generation: the vehicle units the card was inserted in.
struct TVehicleUnit {
    TTime Time = 0;
    int ManufacturerCode = 0, DeviceId = 0;
    std::string SoftwareVersion;
};

// Second generation: where the vehicle was every three hours of driving.
struct TGnssAccumulatedDriving {
    TGnssPlace Place;
    std::int64_t Odometer = 0;
    std::optional<bool> Authenticated; // version 2
};

// Second generation, version 2.
struct TBorderCrossing {
    std::string CountryLeft, CountryEntered;
    TGnssPlace Place;
    bool Authenticated = false;
    std::int64_t Odometer = 0;
};

struct TLoadUnload {
    TTime Time = 0;
    int OperationType = 0; // 1 load, 2 unload, 3 both
    TGnssPlace Place;
    bool Authenticated = false;
    std::int64_t Odometer = 0;
};

struct TLoadTypeEntry {
    TTime Time = 0;
    int LoadType = 0; // 1 goods, 2 passengers
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

    TChip Chip;
    TApplication Application;
    std::optional<TCurrentUsage> CurrentUsage;
    std::vector<TSpecificCondition> SpecificConditions;
    std::vector<TVehicleUnit> VehicleUnits;
    std::vector<TGnssAccumulatedDriving> GnssAccumulatedDriving;
    std::vector<TBorderCrossing> BorderCrossings;
    std::vector<TLoadUnload> LoadUnloadOperations;
    std::vector<TLoadTypeEntry> LoadTypeEntries;

    // The file's records that could be read (of any type); 0: not a card
    // download file at all.
    std::size_t RecordCount = 0;
    // One clear line per record that could not be decoded; never an exception.
    std::vector<std::string> Errors;
};

// The card download file's records decoded, both generations. Whatever the
// bytes, it returns: a record that cannot be decoded is left out and told in
// Errors, the others are decoded as far as they go.
TCardData Decode(std::span<const std::uint8_t> file);

// The nation's distinguishing sign ("D", "HR"), or the code in hex when unknown.
std::string NationText(int code);
// An event's or a fault's type in English ("Power supply interruption").
std::string EventTypeText(int type);
// A time in UTC as ISO 8601, "2024-01-01T06:15:00Z", and its day, "2024-01-01".
std::string IsoTime(TTime time);
std::string IsoDate(TTime time);

} // namespace carddata
