#include "cardsim/SampleCard.h"

#include "cardsim/TestPki.h"

#include <algorithm>

#include <cstddef>

namespace cardsim {

namespace {

using TBytes = std::vector<std::uint8_t>;

// xorshift32: the same bytes on every platform and standard library.
class TByteSource {
public:
    explicit TByteSource(std::uint32_t seed) : State(seed == 0 ? 0x9E3779B9u : seed) {}
    std::uint8_t Next() {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        return static_cast<std::uint8_t>(State >> 24);
    }
    TBytes Take(std::size_t count) {
        TBytes bytes(count);
        for (auto& b : bytes) {
            b = Next();
        }
        return bytes;
    }

private:
    std::uint32_t State;
};

void PutBe16(TBytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutBe32(TBytes& out, std::uint32_t value) {
    PutBe16(out, static_cast<std::uint16_t>(value >> 16));
    PutBe16(out, static_cast<std::uint16_t>(value));
}

// Fixed-width text, cut or padded with blanks.
void PutText(TBytes& out, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20);
    }
}

// A name field: code-page byte, then the characters.
void PutName(TBytes& out, std::uint8_t codePage, const std::string& text, std::size_t width) {
    out.push_back(codePage);
    PutText(out, text, width);
}

// Seconds since 1970-01-01 00:00 UTC, as the card keeps its times.
constexpr std::uint32_t kIssued = 1577836800;       // 2020-01-01
constexpr std::uint32_t kExpires = 1735603200;      // 2024-12-31
constexpr std::uint32_t kLastDownload = 1704067200; // 2024-01-01
constexpr std::uint8_t kGermany = 0x0D;
constexpr std::uint8_t kCroatia = 0x19;
constexpr std::uint8_t kLatin1 = 0x01;

TBytes ApplicationIdentification(const TCardOptions& o) {
    TBytes b;
    b.push_back(0x01); // driver card
    PutBe16(b, 0x0001);
    b.push_back(o.EventsPerType);
    b.push_back(o.FaultsPerType);
    PutBe16(b, o.ActivityStructureLength);
    PutBe16(b, o.VehicleRecords);
    b.push_back(o.PlaceRecords);
    return b;
}

TBytes Identification(const TCardOptions& o) {
    TBytes b;
    b.push_back(kGermany);
    PutText(b, o.CardNumber, 16);
    PutName(b, kLatin1, "Kraftfahrt-Bundesamt", 35);
    PutBe32(b, kIssued);
    PutBe32(b, kIssued);
    PutBe32(b, kExpires);
    PutName(b, o.NameCodePage, o.Surname, 35);
    PutName(b, o.NameCodePage, o.FirstNames, 35);
    for (std::uint8_t bcd : {0x19, 0x78, 0x04, 0x23}) { // born 1978-04-23
        b.push_back(bcd);
    }
    PutText(b, "hr", 2);
    return b;
}

TBytes DrivingLicenceInfo() {
    TBytes b;
    PutName(b, kLatin1, "Policijska uprava zagrebacka", 35);
    b.push_back(kCroatia);
    PutText(b, "HR12345678", 16);
    return b;
}

TBytes CurrentUsage() {
    TBytes b;
    PutBe32(b, kLastDownload - 3600);
    b.push_back(kCroatia);
    PutName(b, kLatin1, "ZG 1234-AB", 13);
    return b;
}

TBytes ControlActivityData() {
    TBytes b;
    b.push_back(0x80); // card downloaded during the control
    PutBe32(b, kLastDownload - 86400);
    b.push_back(0x04); // control card
    b.push_back(kCroatia);
    PutText(b, "HRC0000000000100", 16);
    b.push_back(kCroatia);
    PutName(b, kLatin1, "ZG1234AB", 13);
    PutBe32(b, kLastDownload - 28 * 86400);
    PutBe32(b, kLastDownload - 86400);
    return b;
}

constexpr std::uint32_t kDay = 86400;
// The 28 days of activity end the day before the last download.
constexpr std::uint32_t kFirstDay = kLastDownload - 28 * kDay;

struct TPlate {
    const char* Number;
    std::uint8_t Nation;
};
const TPlate kPlates[] = {
    {"ZG 1234-AB", kCroatia}, {"ZG 5678-CD", kCroatia}, {"M-DR 4711", kGermany}};

void PutPlate(TBytes& out, const TPlate& plate) {
    out.push_back(plate.Nation);
    PutName(out, kLatin1, plate.Number, 13);
}

void PutBe24(TBytes& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    PutBe16(out, static_cast<std::uint16_t>(value));
}

std::uint8_t Bcd(unsigned value) {
    return static_cast<std::uint8_t>((value / 10 % 10) << 4 | value % 10);
}

// A day with a daily record, and the vehicle and distance it gives.
struct TDay {
    std::uint32_t Date;
    bool Working;
    std::vector<TActivityEntry> Changes;
    const TPlate* Plate;
    std::uint32_t OdometerBegin;
    std::uint32_t Distance;
};

enum : std::uint8_t { kRest = 0, kAvailable = 1, kWork = 2, kDriving = 3 };

std::uint32_t FirstDay(const TCardOptions& o) {
    return kLastDownload - static_cast<std::uint32_t>(std::max(o.DayCount, 1)) * kDay;
}

// The planned days as the card's files need them: each working day on the
// week's vehicle (another one on Fridays), its distance from its driving time
// at 55 to 75 km/h, the odometer running on from day to day.
std::vector<TDay> Days(const TCardOptions& o) {
    std::vector<TActivityDay> plan =
        o.Activity.empty() ? SampleActivity(o.Seed, o.DayCount) : o.Activity;
    std::stable_sort(plan.begin(), plan.end(),
                     [](const TActivityDay& a, const TActivityDay& b) { return a.Day < b.Day; });
    TByteSource source(o.Seed * 0x9E3779B1u ^ 0x0505u);
    std::vector<TDay> days;
    std::uint32_t odometer = 120000 + source.Next() * 100u;
    for (const TActivityDay& planned : plan) {
        TDay day;
        const auto i = static_cast<std::uint32_t>(std::max(planned.Day, 0));
        day.Date = FirstDay(o) + i * kDay;
        day.Changes = planned.Changes;
        if (day.Changes.empty()) {
            day.Changes.push_back({});
        }
        unsigned driving = 0;
        day.Working = false;
        for (std::size_t c = 0; c < day.Changes.size(); ++c) {
            const TActivityEntry& e = day.Changes[c];
            const unsigned next = c + 1 < day.Changes.size() ? day.Changes[c + 1].Minute : 1440u;
            day.Working = day.Working || (e.Activity >= kWork && e.CardInserted);
            if (e.Activity == kDriving && e.CardInserted && next > e.Minute) {
                driving += next - e.Minute;
            }
        }
        const unsigned weekday = (i + 7 * 1000 - static_cast<unsigned>(o.DayCount)) % 7;
        day.Plate = &kPlates[(i / 7 + (weekday == 4 ? 1u : 0u) + o.Seed) % 3];
        day.OdometerBegin = odometer;
        day.Distance = day.Working ? driving * (55 + source.Next() % 20u) / 60u : 0;
        odometer += day.Distance;
        days.push_back(day);
    }
    return days;
}

// The time of a day's change (the last one when it has fewer).
std::uint32_t MinuteOf(const TDay& day, std::size_t change) {
    return day.Date + day.Changes[std::min(change, day.Changes.size() - 1)].Minute * 60u;
}

// Activity change info 'scpaattttttttttt': slot, crew (or, with the card
// out, entered by hand), card out, activity, minutes.
std::uint16_t ActivityChange(const TActivityEntry& e) {
    const bool c = e.CardInserted ? e.Crew : e.Manual;
    return static_cast<std::uint16_t>((e.CoDriver ? 0x8000 : 0) | (c ? 0x4000 : 0) |
                                      (e.CardInserted ? 0 : 0x2000) | (e.Activity & 3) << 11 |
                                      (e.Minute & 0x7FF));
}

TBytes DriverActivityData(const TCardOptions& o, const std::vector<TDay>& days) {
    std::vector<TBytes> records;
    unsigned presence = 0;
    for (const TDay& day : days) {
        TBytes record;
        PutBe16(record, 0); // previous record length, set below
        PutBe16(record, static_cast<std::uint16_t>(12 + 2 * day.Changes.size()));
        PutBe32(record, day.Date);
        presence += day.Working ? 1 : 0;
        record.push_back(Bcd(presence / 100));
        record.push_back(Bcd(presence));
        PutBe16(record, static_cast<std::uint16_t>(day.Distance));
        for (const TActivityEntry& change : day.Changes) {
            PutBe16(record, ActivityChange(change));
        }
        records.push_back(record);
    }
    // The newest days that fit, oldest first from the start of the buffer.
    std::size_t first = 0;
    std::size_t total = 0;
    for (std::size_t i = records.size(); i-- > 0;) {
        if (total + records[i].size() > o.ActivityStructureLength) {
            first = i + 1;
            break;
        }
        total += records[i].size();
    }
    TBytes area;
    std::size_t newest = 0;
    std::size_t previousLength = 0;
    for (std::size_t i = first; i < records.size(); ++i) {
        TBytes& record = records[i];
        record[0] = static_cast<std::uint8_t>(previousLength >> 8);
        record[1] = static_cast<std::uint8_t>(previousLength);
        newest = area.size();
        previousLength = record.size();
        area.insert(area.end(), record.begin(), record.end());
    }
    area.resize(o.ActivityStructureLength, 0);
    TBytes b;
    PutBe16(b, 0);
    PutBe16(b, static_cast<std::uint16_t>(newest));
    b.insert(b.end(), area.begin(), area.end());
    return b;
}

// One vehicle record per working day: odometer, first and last use, plate,
// the VU's download block counter.
TBytes VehiclesUsed(const TCardOptions& o, const std::vector<TDay>& days) {
    std::vector<TBytes> records;
    for (const TDay& day : days) {
        if (!day.Working) {
            continue;
        }
        TBytes r;
        PutBe24(r, day.OdometerBegin);
        PutBe24(r, day.OdometerBegin + day.Distance);
        PutBe32(r, MinuteOf(day, 1));
        PutBe32(r, MinuteOf(day, day.Changes.size() - 1));
        PutPlate(r, *day.Plate);
        r.push_back(0x00);
        r.push_back(Bcd(static_cast<unsigned>(records.size() % 100)));
        records.push_back(r);
    }
    const std::size_t kept = std::min<std::size_t>(records.size(), o.VehicleRecords);
    TBytes b;
    PutBe16(b, static_cast<std::uint16_t>(kept == 0 ? 0 : kept - 1));
    for (std::size_t i = records.size() - kept; i < records.size(); ++i) {
        b.insert(b.end(), records[i].begin(), records[i].end());
    }
    b.resize(2 + std::size_t{o.VehicleRecords} * 31, 0);
    return b;
}

// The start and the end of each working day: time, begin (0) or end (1),
// country, region, odometer.
TBytes Places(const TCardOptions& o, const std::vector<TDay>& days) {
    std::vector<TBytes> records;
    for (const TDay& day : days) {
        if (!day.Working) {
            continue;
        }
        for (const bool end : {false, true}) {
            TBytes r;
            PutBe32(r, MinuteOf(day, end ? day.Changes.size() - 1 : 1));
            r.push_back(end ? 0x01 : 0x00);
            r.push_back(kCroatia);
            r.push_back(0x00);
            PutBe24(r, end ? day.OdometerBegin + day.Distance : day.OdometerBegin);
            records.push_back(r);
        }
    }
    const std::size_t kept = std::min<std::size_t>(records.size(), o.PlaceRecords);
    TBytes b;
    b.push_back(static_cast<std::uint8_t>(kept == 0 ? 0 : kept - 1));
    for (std::size_t i = records.size() - kept; i < records.size(); ++i) {
        b.insert(b.end(), records[i].begin(), records[i].end());
    }
    b.resize(1 + std::size_t{o.PlaceRecords} * 10, 0);
    return b;
}

// Event or fault records grouped by type, `perType` records a group; a few
// groups hold one record, the rest are empty (zeros).
TBytes EventLike(std::size_t perType, std::size_t groups,
                 const std::vector<std::pair<std::size_t, TBytes>>& entries) {
    TBytes b(perType * groups * 24, 0);
    for (const auto& [group, record] : entries) {
        if (perType > 0 && group < groups) {
            std::copy(record.begin(), record.end(),
                      b.begin() + static_cast<std::ptrdiff_t>(group * perType * 24));
        }
    }
    return b;
}

TBytes EventRecord(std::uint8_t type, std::uint32_t begin, std::uint32_t end, const TPlate& plate) {
    TBytes r{type};
    PutBe32(r, begin);
    PutBe32(r, end);
    PutPlate(r, plate);
    return r;
}

TBytes SpecificConditions() {
    TBytes b;
    // An out-of-scope journey on the first Saturday, begun and ended.
    PutBe32(b, kFirstDay + 5 * kDay + 9 * 3600);
    b.push_back(0x01);
    PutBe32(b, kFirstDay + 5 * kDay + 10 * 3600);
    b.push_back(0x02);
    b.resize(280, 0);
    return b;
}

TBytes Icc(const TCardOptions& o) {
    TBytes b{0x00}; // clock stop
    PutBe32(b, 0x00123456u + o.Seed);
    for (std::uint8_t v : {0x01, 0x20, 0x01, 0xFF}) { // issued 01/20, driver card, manufacturer
        b.push_back(v);
    }
    PutText(b, "e1-0042 ", 8); // card approval number
    b.push_back(0x01);         // personaliser
    PutText(b, "DRV01", 5);    // embedder and IC assembler
    PutBe16(b, 0x0102);        // IC identifier
    return b;
}

TBytes Ic(const TCardOptions& o) {
    TBytes b;
    PutBe32(b, 0x5A000000u + o.Seed);
    PutText(b, "DRVK", 4);
    return b;
}

// ------------------------------------------------ the second generation

// Cyclic record files of the second generation: the newest record's index
// (2 bytes), then `count` records, the used ones first and zeros after.
TBytes Cyclic(std::size_t count, std::size_t recordSize, const std::vector<TBytes>& records) {
    const std::size_t kept = std::min(records.size(), count);
    TBytes b;
    PutBe16(b, static_cast<std::uint16_t>(kept == 0 ? 0 : kept - 1));
    for (std::size_t i = records.size() - kept; i < records.size(); ++i) {
        TBytes r = records[i];
        r.resize(recordSize, 0);
        b.insert(b.end(), r.begin(), r.end());
    }
    b.resize(2 + count * recordSize, 0);
    return b;
}

// A GNSS position near Zagreb, ±DDMM.M × 10 in 3 bytes each, with its time
// and accuracy: 11 bytes.
void PutGnssPlace(TBytes& out, std::uint32_t time, std::uint32_t step) {
    PutBe32(out, time);
    out.push_back(0x05); // accuracy
    PutBe24(out, 45486 + step % 40);
    PutBe24(out, 15588 + step % 70);
}

TBytes ApplicationIdentificationG2(const TCardOptions& o) {
    TBytes b;
    b.push_back(0x01);
    b.push_back(0x01); // the G2 application
    b.push_back(static_cast<std::uint8_t>(o.Gen2Version >= 2 ? 0x01 : 0x00));
    b.push_back(o.EventsPerType);
    b.push_back(o.FaultsPerType);
    PutBe16(b, o.ActivityStructureLength);
    PutBe16(b, o.VehicleRecords);
    PutBe16(b, o.Gen2PlaceRecords);
    PutBe16(b, o.GnssRecords);
    PutBe16(b, o.SpecificConditionRecords);
    PutBe16(b, o.VehicleUnitRecords);
    return b;
}

void AddSecondGeneration(TCardImage& image, const TCardOptions& o, const std::vector<TDay>& days) {
    const TTestPkiG2& pki = TestPkiG2();
    image.Set(G2(0x0501), ApplicationIdentificationG2(o));
    image.Set(G2(0xC100), o.Gen2OnP384 ? pki.CardCertificateP384 : pki.CardCertificate);
    image.Set(G2(0xC101), o.Gen2OnP384 ? pki.CardCertificateP384 : pki.CardCertificate);
    image.Set(G2(0xC108), pki.MemberStateCertificate);
    image.Set(G2(0xC109), pki.LinkCertificate);
    image.SigningKeyG2 = o.Gen2OnP384 ? pki.CardP384 : pki.Card;
    image.Set(G2(0x0520), *image.Find(ef::Identification));
    image.Set(G2(0x050E), *image.Find(ef::CardDownload));
    image.Set(G2(0x0521), *image.Find(ef::DrivingLicenceInfo));
    image.Set(G2(0x0507), *image.Find(ef::CurrentUsage));
    image.Set(G2(0x0508), *image.Find(ef::ControlActivityData));
    image.Set(G2(0x0504), *image.Find(ef::DriverActivityData));
    // Events and faults keep the first generation's records, in 11 and 2 groups.
    {
        const TBytes& events = *image.Find(ef::EventsData);
        TBytes b(11 * std::size_t{o.EventsPerType} * 24, 0);
        std::copy_n(events.begin(), std::min(events.size(), b.size()), b.begin());
        image.Set(G2(0x0502), b);
        const TBytes& faults = *image.Find(ef::FaultsData);
        image.Set(G2(0x0503), faults);
    }
    // Vehicles: the first generation's record and the vehicle's VIN.
    {
        const TBytes& vehicles = *image.Find(ef::VehiclesUsed);
        std::vector<TBytes> records;
        for (std::size_t at = 2; at + 31 <= vehicles.size(); at += 31) {
            TBytes r(vehicles.begin() + static_cast<std::ptrdiff_t>(at),
                     vehicles.begin() + static_cast<std::ptrdiff_t>(at + 31));
            if (std::all_of(r.begin(), r.end(), [](std::uint8_t v) { return v == 0; })) {
                break;
            }
            PutText(r, "WDB9634031L" + std::to_string(100000 + records.size() % 3), 17);
            records.push_back(r);
        }
        image.Set(G2(0x0505), Cyclic(o.VehicleRecords, 48, records));
    }
    std::vector<TBytes> places, gnss, units, authentications, conditions;
    std::uint32_t step = 0;
    for (const TDay& day : days) {
        if (!day.Working) {
            continue;
        }
        for (const bool end : {false, true}) {
            const std::uint32_t time = MinuteOf(day, end ? day.Changes.size() - 1 : 1);
            const std::uint32_t odometer =
                end ? day.OdometerBegin + day.Distance : day.OdometerBegin;
            TBytes place;
            PutBe32(place, time);
            place.push_back(end ? 0x01 : 0x00);
            place.push_back(kCroatia);
            place.push_back(0x00);
            PutBe24(place, odometer);
            PutGnssPlace(place, time, ++step);
            places.push_back(place);
            TBytes authentication;
            PutBe32(authentication, time);
            authentication.push_back(0x01); // authenticated
            authentications.push_back(authentication);
        }
        // Every three hours of driving (about 240 km) the vehicle unit records
        // where it is.
        for (std::uint32_t hour = 0; hour <= day.Distance / 240; ++hour) {
            const std::uint32_t time = MinuteOf(day, 1) + hour * 3 * 3600;
            TBytes r;
            PutBe32(r, time);
            PutGnssPlace(r, time, ++step);
            PutBe24(r, day.OdometerBegin + hour * 240);
            gnss.push_back(r);
        }
        TBytes unit;
        PutBe32(unit, MinuteOf(day, 1));
        unit.push_back(0x42); // manufacturer
        unit.push_back(0x01); // device
        PutText(unit, "0310", 4);
        units.push_back(unit);
    }
    {
        const TBytes& g1 = *image.Find(ef::SpecificConditions);
        conditions.assign(
            {TBytes(g1.begin(), g1.begin() + 5), TBytes(g1.begin() + 5, g1.begin() + 10)});
    }
    image.Set(G2(0x0506), Cyclic(o.Gen2PlaceRecords, 21, places));
    image.Set(G2(0x0522), Cyclic(o.SpecificConditionRecords, 5, conditions));
    image.Set(G2(0x0523), Cyclic(o.VehicleUnitRecords, 10, units));
    image.Set(G2(0x0524), Cyclic(o.GnssRecords, 18, gnss));
    if (o.Gen2Version < 2) {
        return;
    }
    TBytes v2;
    PutBe16(v2, 8);
    PutBe16(v2, o.BorderCrossingRecords);
    PutBe16(v2, o.LoadUnloadRecords);
    PutBe16(v2, o.LoadTypeEntryRecords);
    PutBe16(v2, 0);
    image.Set(G2(0x0525), v2);
    image.Set(G2(0x0526), Cyclic(o.Gen2PlaceRecords, 5, authentications));
    std::vector<TBytes> gnssAuthentications, crossings, loads, loadTypes;
    for (const TBytes& r : gnss) {
        gnssAuthentications.push_back({r[0], r[1], r[2], r[3], 0x01});
    }
    // A trip to Germany and back on each day with the German vehicle, a load
    // at the start of every working day and its unload at the end.
    for (const TDay& day : days) {
        if (!day.Working) {
            continue;
        }
        if (day.Plate->Nation == kGermany) {
            for (const bool back : {false, true}) {
                const std::uint32_t time = MinuteOf(day, 2) + (back ? 5 * 3600 : 0);
                TBytes r{back ? kGermany : kCroatia, back ? kCroatia : kGermany};
                PutGnssPlace(r, time, ++step);
                r.push_back(0x01);
                PutBe24(r, day.OdometerBegin + (back ? 400 : 150));
                crossings.push_back(r);
            }
        }
        for (const bool unload : {false, true}) {
            const std::uint32_t time = MinuteOf(day, unload ? day.Changes.size() - 1 : 1);
            TBytes r;
            PutBe32(r, time);
            r.push_back(unload ? 0x02 : 0x01);
            PutGnssPlace(r, time, ++step);
            r.push_back(0x01);
            PutBe24(r, day.OdometerBegin + (unload ? day.Distance : 0));
            loads.push_back(r);
        }
        TBytes type;
        PutBe32(type, MinuteOf(day, 1));
        type.push_back(0x01); // goods
        loadTypes.push_back(type);
    }
    image.Set(G2(0x0527), Cyclic(o.GnssRecords, 5, gnssAuthentications));
    image.Set(G2(0x0528), Cyclic(o.BorderCrossingRecords, 17, crossings));
    image.Set(G2(0x0529), Cyclic(o.LoadUnloadRecords, 20, loads));
    image.Set(G2(0x0530), Cyclic(o.LoadTypeEntryRecords, 5, loadTypes));
}

} // namespace

std::vector<TActivityDay> SampleActivity(std::uint32_t seed, int dayCount) {
    TByteSource source(seed * 0x9E3779B1u ^ 0x0504u);
    std::vector<TActivityDay> days;
    int previousEnd = 0; // the minute the last working day's rest began, that day
    for (int i = 0; i < dayCount; ++i) {
        TActivityDay day;
        day.Day = i;
        // Counted so that the period's last day is always a Sunday.
        const int weekday = ((i - dayCount) % 7 + 7) % 7;
        if (weekday >= 5) {
            TActivityEntry rest;
            rest.CardInserted = false;
            rest.Manual = true;
            day.Changes = {rest};
            days.push_back(day);
            previousEnd = -1440;
            continue;
        }
        auto add = [&](int minute, std::uint8_t activity) {
            TActivityEntry e;
            e.Minute = static_cast<std::uint16_t>(minute);
            e.Activity = activity;
            day.Changes.push_back(e);
        };
        // Eleven hours' daily rest at least since yesterday's end.
        int t = std::max(300 + source.Next() % 90, previousEnd + 660 - 1440);
        add(0, kRest);
        add(t, kWork); // vehicle check and loading
        t += 40 + source.Next() % 21;
        add(t, kDriving);
        t += 120 + source.Next() % 40;
        add(t, kRest); // the first part of a split break
        t += 15;
        add(t, kDriving);
        t += 80 + source.Next() % 30; // 4 h 29 min at most since the day began
        add(t, kRest);                // the break's second part
        t += 30;
        add(t, kWork); // unloading and loading at a customer
        t += 30 + source.Next() % 21;
        add(t, kAvailable); // waiting for the papers
        t += 15 + source.Next() % 16;
        add(t, kDriving);
        t += weekday == 4 ? 60 + source.Next() % 60 : 90 + source.Next() % 90;
        add(t, kWork); // parking and the day's papers
        t += 15 + source.Next() % 11;
        add(t, kRest);
        previousEnd = t;
        days.push_back(day);
    }
    return days;
}

TCardImage BuildDriverCard(const TCardOptions& o) {
    TCardImage image;
    const std::vector<TDay> days = Days(o);
    image.Set(ef::Icc, Icc(o));
    image.Set(ef::Ic, Ic(o));
    image.Set(ef::ApplicationIdentification, ApplicationIdentification(o));
    image.Set(ef::CardCertificate, TestPki().CardCertificate);
    image.Set(ef::CaCertificate, TestPki().MemberStateCertificate);
    image.SigningKey = TestPki().CardKey;
    image.Set(ef::Identification, Identification(o));
    {
        TBytes b;
        PutBe32(b, kLastDownload);
        image.Set(ef::CardDownload, b);
    }
    image.Set(ef::DrivingLicenceInfo, DrivingLicenceInfo());
    image.Set(ef::CurrentUsage, CurrentUsage());
    image.Set(ef::ControlActivityData, ControlActivityData());
    image.Set(ef::SpecificConditions, SpecificConditions());
    // The events and the fault fall on days of the last weeks: counted from
    // the end, so that a longer period keeps them where they were.
    std::vector<std::pair<std::size_t, TBytes>> events, faults;
    if (days.size() >= 20) {
        const TDay& tuesday = days[days.size() - 20];
        const TDay& thursday = days[days.size() - 11];
        const TDay& lastTuesday = days[days.size() - 6];
        events = {{1, EventRecord(0x05, MinuteOf(tuesday, 2), MinuteOf(tuesday, 2) + 120,
                                  *tuesday.Plate)},
                  {2, EventRecord(0x06, MinuteOf(thursday, 1) - 600, MinuteOf(thursday, 1),
                                  *thursday.Plate)},
                  {3, EventRecord(0x08, MinuteOf(thursday, 3), MinuteOf(thursday, 3) + 240,
                                  *thursday.Plate)}};
        faults = {{0, EventRecord(0x31, MinuteOf(lastTuesday, 4), MinuteOf(lastTuesday, 4) + 900,
                                  *lastTuesday.Plate)}};
    }
    image.Set(ef::EventsData, EventLike(o.EventsPerType, 6, events));
    image.Set(ef::FaultsData, EventLike(o.FaultsPerType, 2, faults));
    image.Set(ef::VehiclesUsed, VehiclesUsed(o, days));
    image.Set(ef::Places, Places(o, days));
    image.Set(ef::DriverActivityData, DriverActivityData(o, days));
    if (o.Gen2Version > 0) {
        AddSecondGeneration(image, o, days);
    }
    return image;
}

} // namespace cardsim
