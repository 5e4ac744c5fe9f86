#include "cardsim/SampleCard.h"

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

// Each file gets its own stream, so that changing one count leaves the other
// files' bytes as they were.
TByteSource SourceFor(const TCardOptions& options, TFileRef file) {
    return TByteSource(options.Seed * 0x01000193u ^ file.Fid);
}

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
    PutName(b, kLatin1, "ZG1234AB", 13);
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

// A cyclic record file: a pointer to the newest record, then the records.
TBytes Cyclic(TByteSource source, std::size_t pointerWidth, std::size_t records,
              std::size_t recordSize) {
    TBytes b;
    const std::uint16_t newest = records == 0 ? 0 : static_cast<std::uint16_t>(records / 3);
    if (pointerWidth == 2) {
        PutBe16(b, newest);
    } else {
        b.push_back(static_cast<std::uint8_t>(newest));
    }
    const TBytes body = source.Take(records * recordSize);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

TBytes DriverActivityData(TByteSource source, std::uint16_t structureLength) {
    TBytes b;
    PutBe16(b, 0);                                               // oldest day record
    PutBe16(b, static_cast<std::uint16_t>(structureLength / 2)); // newest day record
    const TBytes body = source.Take(structureLength);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

} // namespace

TCardImage BuildDriverCard(const TCardOptions& o) {
    TCardImage image;
    auto random = [&](TFileRef file, std::size_t size) {
        image.Set(file, SourceFor(o, file).Take(size));
    };
    random(ef::Icc, 25);
    random(ef::Ic, 8);
    image.Set(ef::ApplicationIdentification, ApplicationIdentification(o));
    random(ef::CardCertificate, 194);
    random(ef::CaCertificate, 194);
    image.Set(ef::Identification, Identification(o));
    {
        TBytes b;
        PutBe32(b, kLastDownload);
        image.Set(ef::CardDownload, b);
    }
    image.Set(ef::DrivingLicenceInfo, DrivingLicenceInfo());
    image.Set(ef::CurrentUsage, CurrentUsage());
    image.Set(ef::ControlActivityData, ControlActivityData());
    random(ef::SpecificConditions, 280);
    // Six event types and two fault types, 24 bytes a record.
    random(ef::EventsData, std::size_t{o.EventsPerType} * 6 * 24);
    random(ef::FaultsData, std::size_t{o.FaultsPerType} * 2 * 24);
    image.Set(ef::VehiclesUsed, Cyclic(SourceFor(o, ef::VehiclesUsed), 2, o.VehicleRecords, 31));
    image.Set(ef::Places, Cyclic(SourceFor(o, ef::Places), 1, o.PlaceRecords, 10));
    image.Set(ef::DriverActivityData,
              DriverActivityData(SourceFor(o, ef::DriverActivityData), o.ActivityStructureLength));
    return image;
}

} // namespace cardsim
