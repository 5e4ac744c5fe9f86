#include "carddata/CardData.h"

#include "cardfile/CardFile.h"
#include "platform/Platform.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

namespace carddata {

namespace {

using TView = std::span<const std::uint8_t>;

// Bounds-checked big-endian reads: past the end they give zeros, and the
// callers check the lengths before they read, so that never shows.
class TReader {
public:
    explicit TReader(TView bytes, std::size_t at = 0) : Bytes(bytes), At(at) {}
    std::uint32_t Be(std::size_t count) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            value = value << 8 | Byte();
        }
        return value;
    }
    std::uint8_t Byte() { return At < Bytes.size() ? Bytes[At++] : (++At, 0); }
    TView Take(std::size_t count) {
        const std::size_t begin = std::min(At, Bytes.size());
        const std::size_t end = std::min(At + count, Bytes.size());
        At += count;
        return Bytes.subspan(begin, end - begin);
    }
    void Skip(std::size_t count) { At += count; }

private:
    TView Bytes;
    std::size_t At;
};

std::string Hex(TView bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

std::string TrimEnd(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0' ||
                             static_cast<unsigned char>(text.back()) == 0xFF)) {
        text.pop_back();
    }
    return text;
}

// IA5 text: bytes outside printable ASCII are not characters of it.
std::string Ia5(TView bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : b == 0 ? '\0' : '?';
    }
    return TrimEnd(text);
}

// A Name or a VehicleRegistrationNumber: the code page, then the text in it.
std::string CodePageText(TView field) {
    if (field.empty()) {
        return {};
    }
    const std::string raw = TrimEnd(std::string(field.begin() + 1, field.end()));
    return platform::Iso8859ToUtf8(raw, field[0]);
}

// VehicleRegistrationIdentification: nation (1), code page (1), number (13),
// as "HR ZG 1234-AB".
std::string VehicleText(TView registration) {
    if (registration.size() < 2) {
        return {};
    }
    const std::string number = CodePageText(registration.subspan(1));
    if (number.empty() || registration[0] == 0) {
        return number;
    }
    return NationText(registration[0]) + " " + number;
}

int Bcd(TView bytes) {
    int value = 0;
    for (const std::uint8_t b : bytes) {
        value = value * 100 + (b >> 4) % 10 * 10 + (b & 0x0F) % 10;
    }
    return value;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return std::int64_t{era} * 146097 + doe - 719468;
}

// Datef, BCD yyyy mm dd; 0 when unset or not a date.
TTime Datef(TView bytes) {
    if (bytes.size() < 4) {
        return 0;
    }
    const int year = Bcd(bytes.subspan(0, 2));
    const int month = Bcd(bytes.subspan(2, 1));
    const int day = Bcd(bytes.subspan(3, 1));
    if (year == 0 || month < 1 || month > 12 || day < 1 || day > 31) {
        return 0;
    }
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400;
}

std::string FileName(std::uint16_t fid) {
    switch (fid) {
    case 0x0002:
        return "ICC";
    case 0x0005:
        return "IC";
    case 0x0501:
        return "Application_Identification";
    case 0x0502:
        return "Events_Data";
    case 0x0503:
        return "Faults_Data";
    case 0x0504:
        return "Driver_Activity_Data";
    case 0x0505:
        return "Vehicles_Used";
    case 0x0506:
        return "Places";
    case 0x0507:
        return "Current_Usage";
    case 0x0508:
        return "Control_Activity_Data";
    case 0x050E:
        return "Card_Download";
    case 0x0520:
        return "Identification";
    case 0x0521:
        return "Driving_Licence_Info";
    case 0x0522:
        return "Specific_Conditions";
    case 0x0523:
        return "VehicleUnits_Used";
    case 0x0524:
        return "GNSS_Places";
    case 0x0525:
        return "Application_Identification_V2";
    case 0x0528:
        return "Border_Crossings";
    case 0x0529:
        return "Load_Unload_Operations";
    case 0x0530:
        return "Load_Type_Entries";
    default:
        return {};
    }
}

class TDecoder {
public:
    explicit TDecoder(TCardData& out) : Out(out) {}

    void Run(const std::vector<cardfile::TRecord>& records);

private:
    void Error(const std::string& text) {
        // A file made to fail everywhere must not make the list as long as itself.
        if (Out.Errors.size() < 200) {
            Out.Errors.push_back(text);
        } else if (Out.Errors.size() == 200) {
            Out.Errors.push_back("further errors left out");
        }
    }
    std::string Name(std::uint16_t fid) const {
        const std::string name = FileName(fid);
        const bool common = fid == 0x0002 || fid == 0x0005;
        return (G2 && !common ? "G2 EF " : "EF ") + cardfile::FidText(fid) +
               (name.empty() ? "" : " (" + name + ")");
    }
    // The record of `fid` from the part the lists come from; nullptr, told,
    // when it is missing or shorter than `minimum`.
    const cardfile::TRecord* Get(std::uint16_t fid, std::size_t minimum, bool required = true);
    // Length exactly `size`, else told (and, when shorter, nullptr).
    const cardfile::TRecord* GetFixed(std::uint16_t fid, std::size_t size, bool required = true);

    void Chip();
    void Application();
    void Identification();
    void Licence();
    void CardDownload();
    void EventsOrFaults(std::uint16_t fid, std::vector<TEvent>& list);
    void Activity();
    void Vehicles();
    void Places();
    void CurrentUsage();
    void Controls();
    void SpecificConditions();
    void VehicleUnits();
    void GnssPlaces();
    void BorderCrossings();
    void LoadUnload();
    void LoadTypes();
    // EF Places_Authentication or GNSS_Places_Authentication: the status of
    // each record of the list, matched by its time.
    std::map<TTime, bool> Authentications(std::uint16_t fid);
    // The records of a cyclic file, oldest first: `pointerSize` bytes of the
    // newest record's index, then records of `size` bytes; all-zero records are
    // unused. Calls `each` with every used record.
    template <typename F>
    void Cyclic(std::uint16_t fid, std::size_t pointerSize, std::size_t size, F each);

    TCardData& Out;
    bool G2 = false;
    std::map<std::uint16_t, const cardfile::TRecord*> Common, Part;
};

const cardfile::TRecord* TDecoder::Get(std::uint16_t fid, std::size_t minimum, bool required) {
    const auto& files = fid == 0x0002 || fid == 0x0005 ? Common : Part;
    const auto found = files.find(fid);
    if (found == files.end()) {
        if (required) {
            Error(Name(fid) + ": not in the file");
        }
        return nullptr;
    }
    if (found->second->Data.size() < minimum) {
        Error(Name(fid) + ": " + std::to_string(found->second->Data.size()) + " bytes, at least " +
              std::to_string(minimum) + " expected");
        return nullptr;
    }
    return found->second;
}

const cardfile::TRecord* TDecoder::GetFixed(std::uint16_t fid, std::size_t size, bool required) {
    const cardfile::TRecord* record = Get(fid, size, required);
    if (record != nullptr && record->Data.size() != size) {
        Error(Name(fid) + ": " + std::to_string(record->Data.size()) + " bytes, " +
              std::to_string(size) + " expected; the first " + std::to_string(size) + " decoded");
    }
    return record;
}

void TDecoder::Run(const std::vector<cardfile::TRecord>& records) {
    std::map<std::uint16_t, const cardfile::TRecord*> g1, g2;
    for (const cardfile::TRecord& record : records) {
        if (record.Type != cardfile::kContents && record.Type != cardfile::kContentsG2) {
            continue;
        }
        const bool common = record.Fid == 0x0002 || record.Fid == 0x0005;
        auto& files = common ? Common : record.Type == cardfile::kContents ? g1 : g2;
        if (!files.emplace(record.Fid, &record).second) {
            Error(std::string(record.Type == cardfile::kContentsG2 ? "G2 " : "") + "EF " +
                  cardfile::FidText(record.Fid) + " at offset " + std::to_string(record.Offset) +
                  ": given twice; the first kept");
        }
    }
    G2 = !g2.empty();
    Out.Generation = G2 ? 2 : 1;
    // A second-generation card's lists come from its own part; a file of it
    // that is missing there is not taken from the first generation's.
    Part = G2 ? g2 : g1;
    Chip();
    Application();
    Identification();
    Licence();
    CardDownload();
    EventsOrFaults(0x0502, Out.Events);
    EventsOrFaults(0x0503, Out.Faults);
    Activity();
    Vehicles();
    Places();
    CurrentUsage();
    Controls();
    SpecificConditions();
    if (G2) {
        VehicleUnits();
        GnssPlaces();
        BorderCrossings();
        LoadUnload();
        LoadTypes();
        if ((Out.Application.StructureVersion & 0xFF) >= 1) {
            const auto places = Authentications(0x0526);
            for (TPlace& p : Out.Places) {
                if (const auto found = places.find(p.Time); found != places.end()) {
                    p.Authenticated = found->second;
                }
            }
            const auto gnss = Authentications(0x0527);
            for (TGnssAccumulatedDriving& g : Out.GnssAccumulatedDriving) {
                if (const auto found = gnss.find(g.Place.Time); found != gnss.end()) {
                    g.Authenticated = found->second;
                }
            }
        }
    }
}

std::map<TTime, bool> TDecoder::Authentications(std::uint16_t fid) {
    std::map<TTime, bool> statuses;
    Cyclic(fid, 2, 5, [&](TView bytes) {
        TReader r(bytes);
        const TTime time = r.Be(4);
        statuses[time] = r.Byte() == 1;
    });
    return statuses;
}

void TDecoder::Chip() {
    if (const auto* icc = GetFixed(0x0002, 25)) {
        TReader r(icc->Data);
        TChip& c = Out.Chip;
        c.ClockStop = r.Byte();
        c.SerialNumber = r.Be(4);
        const TView monthYear = r.Take(2);
        char text[8];
        std::snprintf(text, sizeof text, "%02d/%02d", Bcd(monthYear.subspan(0, 1)),
                      Bcd(monthYear.subspan(1, 1)));
        c.ManufactureMonthYear = text;
        c.SerialType = r.Byte();
        c.ManufacturerCode = r.Byte();
        c.ApprovalNumber = Ia5(r.Take(8));
        c.PersonaliserId = r.Byte();
        c.EmbedderIcAssemblerId = Hex(r.Take(5));
        c.IcIdentifier = Hex(r.Take(2));
    }
    if (const auto* ic = GetFixed(0x0005, 8)) {
        TReader r(ic->Data);
        Out.Chip.IcSerialNumber = r.Be(4);
        Out.Chip.IcManufacturingReferences = Hex(r.Take(4));
    }
}

void TDecoder::Application() {
    TApplication& a = Out.Application;
    if (const auto* app = GetFixed(0x0501, G2 ? 17 : 10)) {
        TReader r(app->Data);
        a.CardType = r.Byte();
        a.StructureVersion = static_cast<int>(r.Be(2));
        a.EventsPerType = r.Byte();
        a.FaultsPerType = r.Byte();
        a.ActivityStructureLength = static_cast<int>(r.Be(2));
        a.VehicleRecords = static_cast<int>(r.Be(2));
        a.PlaceRecords = static_cast<int>(r.Be(G2 ? 2 : 1));
        if (G2) {
            a.GnssRecords = static_cast<int>(r.Be(2));
            a.SpecificConditionRecords = static_cast<int>(r.Be(2));
            a.VehicleUnitRecords = static_cast<int>(r.Be(2));
        }
    }
    if (G2 && (a.StructureVersion & 0xFF) >= 1) {
        if (const auto* v2 = Get(0x0525, 8)) {
            TReader r(v2->Data);
            r.Skip(2);
            a.BorderCrossingRecords = static_cast<int>(r.Be(2));
            a.LoadUnloadRecords = static_cast<int>(r.Be(2));
            a.LoadTypeEntryRecords = static_cast<int>(r.Be(2));
        }
    }
}

void TDecoder::Identification() {
    const auto* id = GetFixed(0x0520, 143);
    if (id == nullptr) {
        return;
    }
    TReader r(id->Data);
    TCard& card = Out.Card;
    card.IssuingNation = NationText(r.Byte());
    card.Number = Ia5(r.Take(16));
    card.IssuingAuthority = CodePageText(r.Take(36));
    card.IssueDate = r.Be(4);
    card.ValidityBegin = r.Be(4);
    card.ExpiryDate = r.Be(4);
    TDriver& driver = Out.Driver;
    driver.Surname = CodePageText(r.Take(36));
    driver.FirstNames = CodePageText(r.Take(36));
    driver.BirthDate = Datef(r.Take(4));
    driver.PreferredLanguage = Ia5(r.Take(2));
}

void TDecoder::Licence() {
    // A card issued where the licence is not kept on it may lack the file.
    const auto* licence = GetFixed(0x0521, 53, false);
    if (licence == nullptr) {
        return;
    }
    TReader r(licence->Data);
    Out.Driver.LicenceAuthority = CodePageText(r.Take(36));
    Out.Driver.LicenceNation = NationText(r.Byte());
    Out.Driver.LicenceNumber = Ia5(r.Take(16));
}

void TDecoder::CardDownload() {
    if (const auto* download = GetFixed(0x050E, 4, false)) {
        const TTime time = TReader(download->Data).Be(4);
        if (time != 0) {
            Out.LastCardDownload = time;
        }
    }
}

void TDecoder::EventsOrFaults(std::uint16_t fid, std::vector<TEvent>& list) {
    const auto* file = Get(fid, 0);
    if (file == nullptr) {
        return;
    }
    const std::size_t count = file->Data.size() / 24;
    if (file->Data.size() % 24 != 0) {
        Error(Name(fid) + ": " + std::to_string(file->Data.size()) +
              " bytes, not whole records of 24; the last " +
              std::to_string(file->Data.size() % 24) + " left out");
    }
    for (std::size_t i = 0; i < count; ++i) {
        TReader r(file->Data, i * 24);
        TEvent event;
        event.Type = r.Byte();
        event.Begin = r.Be(4);
        event.End = r.Be(4);
        if (event.Begin == 0 && event.End == 0) {
            continue; // an unused record
        }
        event.Name = EventTypeText(event.Type);
        event.Vehicle = VehicleText(r.Take(15));
        list.push_back(std::move(event));
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const TEvent& a, const TEvent& b) { return a.Begin < b.Begin; });
}

// A day's header and a change for every minute of it.
constexpr std::size_t kLongestDay = 12 + 2 * 1440;

// The daily records of the cyclic buffer, walked from the newest back through
// each one's previous record length. Every step is checked against the buffer
// and the walk covers the buffer at most once, so lying pointers or lengths
// end it with an error instead of a loop.
void TDecoder::Activity() {
    const auto* file = Get(0x0504, 4);
    if (file == nullptr) {
        return;
    }
    const TView data(file->Data);
    const TView buffer = data.subspan(4);
    const std::size_t size = buffer.size();
    if (Out.Application.ActivityStructureLength != 0 &&
        static_cast<std::size_t>(Out.Application.ActivityStructureLength) != size) {
        Error(Name(0x0504) + ": a buffer of " + std::to_string(size) + " bytes, " +
              std::to_string(Out.Application.ActivityStructureLength) +
              " announced by Application_Identification");
    }
    if (size == 0) {
        return;
    }
    const std::size_t oldest = TReader(data).Be(2);
    const std::size_t newest = TReader(data, 2).Be(2);
    if (oldest >= size || newest >= size) {
        Error(Name(0x0504) + ": the oldest (" + std::to_string(oldest) + ") or newest (" +
              std::to_string(newest) + ") record pointer lies past the buffer of " +
              std::to_string(size) + " bytes; no days decoded");
        return;
    }
    std::vector<std::uint8_t> record;
    auto copy = [&](std::size_t at, std::size_t length) {
        record.resize(length);
        for (std::size_t i = 0; i < length; ++i) {
            record[i] = buffer[(at + i) % size];
        }
    };
    std::vector<TDay> days;
    std::vector<bool> visited(size, false);
    std::size_t at = newest;
    std::size_t covered = 0;
    while (true) {
        if (visited[at]) {
            Error(Name(0x0504) + ": the records' lengths lead back to the day at " +
                  std::to_string(at) + " in a circle; the older days are not decoded");
            break;
        }
        visited[at] = true;
        copy(at, 4);
        const std::size_t previous = std::size_t{record[0]} << 8 | record[1];
        const std::size_t length = std::size_t{record[2]} << 8 | record[3];
        const std::string where = Name(0x0504) + ": the day record at " + std::to_string(at);
        if (length == 0) {
            const bool blank =
                days.empty() && previous == 0 &&
                std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; });
            if (!blank) {
                Error(where + " has a length of 0 bytes; the older days are not decoded");
            }
            break;
        }
        if (length < 12) {
            Error(where + " is " + std::to_string(length) +
                  " bytes, shorter than a day's 12; the older days are not decoded");
            break;
        }
        if (length > kLongestDay) {
            Error(where + " is " + std::to_string(length) + " bytes, longer than a day's " +
                  std::to_string(kLongestDay) + "; the older days are not decoded");
            break;
        }
        if (covered + length > size) {
            Error(where + " (" + std::to_string(length) +
                  " bytes) runs past the buffer's records; the older days are not decoded");
            break;
        }
        covered += length;
        copy(at, length);
        TReader r(record, 4);
        TDay day;
        day.Date = r.Be(4);
        day.PresenceCounter = Bcd(r.Take(2));
        day.DistanceKm = static_cast<int>(r.Be(2));
        if ((length - 12) % 2 != 0) {
            Error(where + " has an odd length of " + std::to_string(length) +
                  "; its last byte left out");
        }
        day.Changes.reserve((length - 12) / 2);
        bool late = false;
        for (std::size_t i = 12; i + 1 < length; i += 2) {
            const unsigned word = unsigned{record[i]} << 8 | record[i + 1];
            TActivityChange change;
            change.CoDriver = (word >> 15 & 1) != 0;
            const bool c = (word >> 14 & 1) != 0;
            change.CardInserted = (word >> 13 & 1) == 0;
            change.Crew = change.CardInserted && c;
            change.ManualEntry = !change.CardInserted && c;
            change.Activity = static_cast<TActivity>(word >> 11 & 3);
            change.Minute = static_cast<std::uint16_t>(word & 0x7FF);
            late = late || change.Minute > 1439;
            day.Changes.push_back(change);
        }
        if (late) {
            Error(where + " has an activity change past 23:59; counted as at midnight");
        }
        if (day.Date % 86400 != 0) {
            Error(where + " is dated at " + std::to_string(day.Date % 86400) +
                  " s after midnight; taken as that day");
            day.Date -= day.Date % 86400;
        }
        days.push_back(std::move(day));
        if (at == oldest || previous == 0) {
            break;
        }
        if (previous > size) {
            Error(where + " says the record before it has " + std::to_string(previous) +
                  " bytes, more than the buffer; the older days are not decoded");
            break;
        }
        at = (at + size - previous) % size;
    }
    std::reverse(days.begin(), days.end());
    std::stable_sort(days.begin(), days.end(),
                     [](const TDay& a, const TDay& b) { return a.Date < b.Date; });
    Out.Days = std::move(days);
}

template <typename F>
void TDecoder::Cyclic(std::uint16_t fid, std::size_t pointerSize, std::size_t size, F each) {
    // A version-2 card may lack its authentications, border crossings and
    // loads: the download then has no record of them, and that is no error.
    const bool optional = fid >= 0x0526 && fid <= 0x0530;
    const auto* file = Get(fid, pointerSize, !optional);
    if (file == nullptr) {
        return;
    }
    const TView data(file->Data);
    const std::size_t count = (data.size() - pointerSize) / size;
    if ((data.size() - pointerSize) % size != 0) {
        Error(Name(fid) + ": " + std::to_string(data.size()) +
              " bytes, not a pointer and whole records of " + std::to_string(size) +
              "; the rest left out");
    }
    if (count == 0) {
        return;
    }
    std::size_t newest = TReader(data).Be(pointerSize);
    if (newest >= count) {
        Error(Name(fid) + ": the newest record's index " + std::to_string(newest) +
              " lies past its " + std::to_string(count) + " records; read in the file's order");
        newest = count - 1;
    }
    for (std::size_t i = 1; i <= count; ++i) {
        const TView record = data.subspan(pointerSize + (newest + i) % count * size, size);
        if (std::all_of(record.begin(), record.end(), [](std::uint8_t b) { return b == 0; })) {
            continue;
        }
        each(record);
    }
}

// GNSSPlaceRecord: time (4), accuracy (1), latitude and longitude (3 each,
// signed ±DDMM.M × 10).
TGnssPlace GnssPlace(TReader& r) {
    TGnssPlace place;
    place.Time = r.Be(4);
    place.Accuracy = r.Byte();
    auto angle = [](std::uint32_t raw) {
        const std::int32_t value = static_cast<std::int32_t>(raw << 8) >> 8; // sign-extended
        const std::int32_t magnitude = value < 0 ? -value : value;
        // DDMM.M × 10: whole degrees, then tenths of minutes.
        const double degrees = magnitude / 1000 + (magnitude % 1000) / 600.0;
        return value < 0 ? -degrees : degrees;
    };
    const std::uint32_t latitude = r.Be(3);
    const std::uint32_t longitude = r.Be(3);
    // 7FFFFF: the receiver had no position.
    place.Valid = latitude != 0x7FFFFF && longitude != 0x7FFFFF;
    if (place.Valid) {
        place.Latitude = angle(latitude);
        place.Longitude = angle(longitude);
    }
    return place;
}

void TDecoder::Vehicles() {
    Cyclic(0x0505, 2, G2 ? 48 : 31, [&](TView bytes) {
        TReader r(bytes);
        TVehicle v;
        v.OdometerBegin = r.Be(3);
        v.OdometerEnd = r.Be(3);
        v.FirstUse = r.Be(4);
        v.LastUse = r.Be(4);
        const TView registration = r.Take(15);
        v.Nation = NationText(registration[0]);
        v.Registration = CodePageText(registration.subspan(1));
        r.Skip(2); // the VU's data block counter
        if (G2) {
            v.Vin = Ia5(r.Take(17));
        }
        Out.Vehicles.push_back(std::move(v));
    });
}

void TDecoder::Places() {
    Cyclic(0x0506, G2 ? 2 : 1, G2 ? 21 : 10, [&](TView bytes) {
        TReader r(bytes);
        TPlace p;
        p.Time = r.Be(4);
        p.EntryType = r.Byte();
        p.Begin = p.EntryType % 2 == 0;
        p.Country = NationText(r.Byte());
        const int region = r.Byte();
        if (region != 0) {
            char text[4];
            std::snprintf(text, sizeof text, "%02X", region);
            p.Region = text;
        }
        p.Odometer = r.Be(3);
        if (G2) {
            p.Gnss = GnssPlace(r);
        }
        Out.Places.push_back(std::move(p));
    });
}

void TDecoder::CurrentUsage() {
    if (const auto* usage = GetFixed(0x0507, 19, false)) {
        TReader r(usage->Data);
        TCurrentUsage u;
        u.SessionOpenTime = r.Be(4);
        u.Vehicle = VehicleText(r.Take(15));
        if (u.SessionOpenTime != 0) {
            Out.CurrentUsage = u;
        }
    }
}

void TDecoder::Controls() {
    // The card keeps the last control only.
    const auto* file = GetFixed(0x0508, 46, false);
    if (file == nullptr) {
        return;
    }
    TReader r(file->Data);
    TControl c;
    c.Type = r.Byte();
    c.Time = r.Be(4);
    r.Skip(2); // the control card's type and nation
    c.ControlCard = Ia5(r.Take(16));
    c.Vehicle = VehicleText(r.Take(15));
    c.DownloadPeriodBegin = r.Be(4);
    c.DownloadPeriodEnd = r.Be(4);
    if (c.Time != 0) {
        Out.Controls.push_back(std::move(c));
    }
}

void TDecoder::SpecificConditions() {
    auto add = [&](TView bytes) {
        TReader r(bytes);
        TSpecificCondition s;
        s.Time = r.Be(4);
        s.Type = r.Byte();
        Out.SpecificConditions.push_back(s);
    };
    if (G2) {
        Cyclic(0x0522, 2, 5, add);
    } else if (const auto* file = Get(0x0522, 0, false)) {
        // The first generation keeps them without a pointer.
        for (std::size_t at = 0; at + 5 <= file->Data.size(); at += 5) {
            const TView record = TView(file->Data).subspan(at, 5);
            if (!std::all_of(record.begin(), record.end(), [](std::uint8_t b) { return b == 0; })) {
                add(record);
            }
        }
    }
    std::stable_sort(
        Out.SpecificConditions.begin(), Out.SpecificConditions.end(),
        [](const TSpecificCondition& a, const TSpecificCondition& b) { return a.Time < b.Time; });
}

void TDecoder::VehicleUnits() {
    Cyclic(0x0523, 2, 10, [&](TView bytes) {
        TReader r(bytes);
        TVehicleUnit u;
        u.Time = r.Be(4);
        u.ManufacturerCode = r.Byte();
        u.DeviceId = r.Byte();
        u.SoftwareVersion = Ia5(r.Take(4));
        Out.VehicleUnits.push_back(std::move(u));
    });
}

void TDecoder::GnssPlaces() {
    Cyclic(0x0524, 2, 18, [&](TView bytes) {
        TReader r(bytes);
        TGnssAccumulatedDriving g;
        r.Skip(4); // the record's time stamp, which the place repeats
        g.Place = GnssPlace(r);
        g.Odometer = r.Be(3);
        Out.GnssAccumulatedDriving.push_back(g);
    });
}

void TDecoder::BorderCrossings() {
    if ((Out.Application.StructureVersion & 0xFF) < 1) {
        return;
    }
    Cyclic(0x0528, 2, 17, [&](TView bytes) {
        TReader r(bytes);
        TBorderCrossing b;
        b.CountryLeft = NationText(r.Byte());
        b.CountryEntered = NationText(r.Byte());
        b.Place = GnssPlace(r);
        b.Authenticated = r.Byte() == 1;
        b.Odometer = r.Be(3);
        Out.BorderCrossings.push_back(std::move(b));
    });
}

void TDecoder::LoadUnload() {
    if ((Out.Application.StructureVersion & 0xFF) < 1) {
        return;
    }
    Cyclic(0x0529, 2, 20, [&](TView bytes) {
        TReader r(bytes);
        TLoadUnload l;
        l.Time = r.Be(4);
        l.OperationType = r.Byte();
        l.Place = GnssPlace(r);
        l.Authenticated = r.Byte() == 1;
        l.Odometer = r.Be(3);
        Out.LoadUnloadOperations.push_back(l);
    });
}

void TDecoder::LoadTypes() {
    if ((Out.Application.StructureVersion & 0xFF) < 1) {
        return;
    }
    Cyclic(0x0530, 2, 5, [&](TView bytes) {
        TReader r(bytes);
        TLoadTypeEntry e;
        e.Time = r.Be(4);
        e.LoadType = r.Byte();
        Out.LoadTypeEntries.push_back(e);
    });
}

// The records up to the first one whose header or length is broken, for a
// file that cardfile::ReadRecords refuses as a whole.
std::size_t WellFormedPrefix(TView file) {
    std::size_t at = 0;
    while (file.size() - at >= cardfile::kRecordHeader) {
        const std::size_t length = std::size_t{file[at + 3]} << 8 | file[at + 4];
        if (length > file.size() - at - cardfile::kRecordHeader) {
            break;
        }
        at += cardfile::kRecordHeader + length;
    }
    return at;
}

} // namespace

TCardData Decode(std::span<const std::uint8_t> file) {
    TCardData out;
    std::string error;
    auto records = cardfile::ReadRecords(file, &error);
    if (!records) {
        out.Errors.push_back(error + "; the records before it are decoded");
        records = cardfile::ReadRecords(file.first(WellFormedPrefix(file)), &error);
        if (!records) {
            records.emplace();
        }
    }
    out.RecordCount = records->size();
    TDecoder(out).Run(*records);
    return out;
}

TDayTotals Totals(const TDay& day) {
    TDayTotals totals;
    auto bucket = [&](const TActivityChange* change) -> int& {
        if (change == nullptr || change->Unknown()) {
            return totals.Unknown;
        }
        switch (change->Activity) {
        case TActivity::Rest:
            return totals.Rest;
        case TActivity::Availability:
            return totals.Availability;
        case TActivity::Work:
            return totals.Work;
        case TActivity::Driving:
            return totals.Driving;
        }
        return totals.Unknown;
    };
    // Before the first change nothing is known; a change that goes back in
    // time ends nothing and starts at the time reached.
    const TActivityChange* current = nullptr;
    int cursor = 0;
    for (const TActivityChange& change : day.Changes) {
        const int minute = std::min<int>(change.Minute, 1440);
        if (minute > cursor) {
            bucket(current) += minute - cursor;
            cursor = minute;
        }
        current = &change;
    }
    bucket(current) += 1440 - cursor;
    return totals;
}

namespace {

// The civil date of a day since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

} // namespace

std::string IsoDate(TTime time) {
    const std::int64_t days = (time >= 0 ? time : time - 86399) / 86400;
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days, y, m, d);
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    return text;
}

std::string IsoTime(TTime time) {
    const std::int64_t seconds = ((time % 86400) + 86400) % 86400;
    char text[16];
    std::snprintf(text, sizeof text, "T%02d:%02d:%02dZ", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return IsoDate(time) + text;
}

std::string NationText(int code) {
    static const std::array<const char*, 0x34> kNations = {
        "",  "A",   "AL", "AND", "ARM", "AZ",  "B",  "BG",  "BIH", "BY", "CH", "CY", "CZ",
        "D", "DK",  "E",  "EST", "F",   "FIN", "FL", "FR",  "UK",  "GE", "GR", "H",  "HR",
        "I", "IRL", "IS", "KZ",  "L",   "LT",  "LV", "M",   "MC",  "MD", "MK", "N",  "NL",
        "P", "PL",  "RO", "RSM", "RUS", "S",   "SK", "SLO", "TM",  "TR", "UA", "V",  "SRB"};
    if (code >= 0 && static_cast<std::size_t>(code) < kNations.size()) {
        return kNations[static_cast<std::size_t>(code)];
    }
    switch (code) {
    case 0xFD:
        return "EC";
    case 0xFE:
        return "EUR";
    case 0xFF:
        return "WLD";
    default: {
        char text[8];
        std::snprintf(text, sizeof text, "#%02X", code & 0xFF);
        return text;
    }
    }
}

std::string EventTypeText(int type) {
    switch (type) {
    case 0x00:
        return "No further details";
    case 0x01:
        return "Insertion of a non valid card";
    case 0x02:
        return "Card conflict";
    case 0x03:
        return "Time overlap";
    case 0x04:
        return "Driving without an appropriate card";
    case 0x05:
        return "Card insertion while driving";
    case 0x06:
        return "Last card session not correctly closed";
    case 0x07:
        return "Over speeding";
    case 0x08:
        return "Power supply interruption";
    case 0x09:
        return "Motion data error";
    case 0x0A:
        return "Vehicle motion conflict";
    case 0x10:
        return "Security breach attempt, no further details";
    case 0x11:
        return "Motion sensor authentication failure";
    case 0x12:
        return "Tachograph card authentication failure";
    case 0x13:
        return "Unauthorised change of motion sensor";
    case 0x14:
        return "Card data input integrity error";
    case 0x15:
        return "Stored user data integrity error";
    case 0x16:
        return "Internal data transfer error";
    case 0x17:
        return "Unauthorised case opening";
    case 0x18:
        return "Hardware sabotage";
    case 0x20:
        return "Sensor security breach attempt, no further details";
    case 0x21:
        return "Sensor authentication failure";
    case 0x22:
        return "Sensor stored data integrity error";
    case 0x23:
        return "Sensor internal data transfer error";
    case 0x24:
        return "Sensor unauthorised case opening";
    case 0x25:
        return "Sensor hardware sabotage";
    case 0x30:
        return "Control device fault, no further details";
    case 0x31:
        return "VU internal fault";
    case 0x32:
        return "Printer fault";
    case 0x33:
        return "Display fault";
    case 0x34:
        return "Downloading fault";
    case 0x35:
        return "Sensor fault";
    case 0x40:
        return "Card fault, no further details";
    default:
        break;
    }
    return type >= 0x80 ? "Manufacturer specific" : "Reserved";
}

} // namespace carddata
