// The download plan: which elementary files a driver card download reads, in
// which order, how each is sized and whether the card signs it. Data only:
// the steps that carry a row out are in DownloadSteps.cpp. The first
// generation's rows give the file every first-generation reader knows; the
// second generation's rows follow them on a card that has DF Tachograph_G2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plan {

// Record types of the card download file.
inline constexpr std::uint8_t kContents = 0x00;
inline constexpr std::uint8_t kSignature = 0x01;
inline constexpr std::uint8_t kContentsG2 = 0x02;
inline constexpr std::uint8_t kSignatureG2 = 0x03;

// Whether and how a file is signed. Both signed kinds ask the card for its
// signature; they differ in what a refusal leaves: the blank record the
// download layout always had, or no record for the files that have one only
// when the card signs them.
enum class TSigning { None, CardOrBlanks, CardOnly };

struct TFixedFile {
    std::uint16_t Fid;
    const char* Select;
    const char* Read; // its last byte is the length asked for
    const char* Label;
    TSigning Signing;
};

inline constexpr TFixedFile kIcc{0x0002, "00 A4 02 0C 02 00 02", "00 B0 00 00 19",
                                 "EF ICC ReadBinary OK", TSigning::None};
inline constexpr TFixedFile kIc{0x0005, "00 A4 02 0C 02 00 05", "00 B0 00 00 08",
                                "EF IC ReadBinary OK", TSigning::None};
inline constexpr TFixedFile kApplicationIdentification{0x0501, "00 A4 02 0C 02 05 01",
                                                       "00 B0 00 00 0A", "EF App ID ReadBinary OK",
                                                       TSigning::CardOrBlanks};
inline constexpr TFixedFile kCardCertificate{0xC100, "00 A4 02 0C 02 C1 00", "00 B0 00 00 C2",
                                             "EF Card Certificate ReadBinary OK", TSigning::None};
inline constexpr TFixedFile kCaCertificate{0xC108, "00 A4 02 0C 02 C1 08", "00 B0 00 00 C2",
                                           "EF CA Certificate ReadBinary OK", TSigning::None};
inline constexpr TFixedFile kIdentification{0x0520, "00 A4 02 0C 02 05 20", "00 B0 00 00 8F",
                                            "EF Identification ReadBinary OK",
                                            TSigning::CardOrBlanks};
inline constexpr TFixedFile kCardDownload{0x050E, "00 A4 02 0C 02 05 0E", "00 B0 00 00 04",
                                          "EF Card Download ReadBinary OK", TSigning::CardOnly};
inline constexpr TFixedFile kLaterFixedFiles[] = {
    kCardDownload,
    {0x0521, "00 A4 02 0C 02 05 21", "00 B0 00 00 35", "EF Driving Licence ReadBinary OK",
     TSigning::CardOrBlanks},
    {0x0507, "00 A4 02 0C 02 05 07", "00 B0 00 00 13", "EF current usage ReadBinary OK",
     TSigning::CardOnly},
    {0x0508, "00 A4 02 0C 02 05 08", "00 B0 00 00 2E", "EF control activity ReadBinary OK",
     TSigning::CardOrBlanks},
};

inline constexpr char kSelectTachograph[] = "00 A4 04 0C 06 FF 54 41 43 48 4F";
inline constexpr char kSelectTachographG2[] = "00 A4 04 0C 06 FF 53 4D 52 44 54";
// The MF, and EF ATR/INFO under it (read up to 256 bytes): its card
// capabilities may announce extended length where the ATR does not.
inline constexpr char kSelectMasterFile[] = "00 A4 00 0C 02 3F 00";
inline constexpr char kSelectAtrInfo[] = "00 A4 02 0C 02 2F 01";
inline constexpr char kReadAtrInfo[] = "00 B0 00 00 00";

// The counts of EF Application_Identification (and, on a second-generation
// card of version 2, EF Application_Identification_V2) that size the files.
struct TApplicationSizes {
    std::size_t EventsPerType = 0;
    std::size_t FaultsPerType = 0;
    std::size_t ActivityLength = 0;
    std::size_t VehicleRecords = 0;
    std::size_t PlaceRecords = 0;
    std::size_t GnssRecords = 0;
    std::size_t SpecificConditionRecords = 0;
    std::size_t VehicleUnitRecords = 0;
    std::size_t BorderCrossingRecords = 0;
    std::size_t LoadUnloadRecords = 0;
    std::size_t LoadTypeEntryRecords = 0;
    // cardStructureVersion's second byte: 0 version 1, 1 version 2.
    std::size_t StructureVersion = 0;
};

// The first generation's 10 bytes; the place count is one byte there.
TApplicationSizes ApplicationSizesOf(const std::string& data);
// The second generation's 17 bytes: the place count takes two.
TApplicationSizes ApplicationSizesG2Of(const std::string& data);
// EF Application_Identification_V2 adds its counts to `sizes`.
void AddVersion2Sizes(TApplicationSizes& sizes, const std::string& data);

enum class TSizeRule {
    SpecificConditions,
    Events,
    Faults,
    Vehicles,
    Places,
    Activities,
    // second generation
    Fixed,
    EventsG2,
    FaultsG2,
    ActivitiesG2,
    VehiclesG2,
    PlacesG2,
    SpecificConditionsG2,
    VehicleUnits,
    GnssPlaces,
    PlacesAuthentication,
    GnssPlacesAuthentication,
    BorderCrossings,
    LoadUnloadOperations,
    LoadTypeEntries,
};

struct TSizedFile {
    std::uint16_t Fid;
    const char* Select;
    const char* Name;        // for the addressability line
    const char* StatusLabel; // chunk label of the status line
    const char* ChunkLabel;  // chunk label of the success line
    // Closing line; the collected bytes follow it as one line, printable ASCII
    // as is and any other byte as '.', as on the "Data: " line: raw card bytes
    // would cut the line at a zero or garble it.
    const char* AllLabel;
    TSizeRule Size;
    bool LogBeforeSignature;
};

inline constexpr TSizedFile kSizedFiles[] = {
    {0x0522, "00 A4 02 0C 02 05 22", "EF Specific_Conditions", "EF spec cond ", "EF spec cond ",
     "EF spec cond all:", TSizeRule::SpecificConditions, false},
    {0x0502, "00 A4 02 0C 02 05 02", "EF Events_Data", "EF events data ", "EF events data ",
     "EF events data all:", TSizeRule::Events, false},
    {0x0503, "00 A4 02 0C 02 05 03", "EF Faults_Data", "EF faults data ", "EF faults data ",
     "EF faults data all:", TSizeRule::Faults, true},
    {0x0505, "00 A4 02 0C 02 05 05", "EF Vehicles_Used", "EF vehicles data ", "EF vehicles data ",
     "EF vehicles all:", TSizeRule::Vehicles, false},
    {0x0506, "00 A4 02 0C 02 05 06", "EF Places", "EF places data ", "EF places data ",
     "EF places all:", TSizeRule::Places, false},
    {0x0504, "00 A4 02 0C 02 05 04", "EF Driver_Activity_Data", "EF activities  ",
     "EF activities data ", "EF activities all:", TSizeRule::Activities, false},
};

// ------------------------------------------------ the second generation

// The certificates of DF Tachograph_G2: their length is in their own first
// bytes, and none is signed (C1 00, the mutual-authentication certificate, is
// not part of a download).
struct TCertificateFile {
    std::uint16_t Fid;
    const char* Select;
    const char* Name;
};

inline constexpr TCertificateFile kG2Certificates[] = {
    {0xC101, "00 A4 02 0C 02 C1 01", "G2 EF CardSign Certificate"},
    {0xC108, "00 A4 02 0C 02 C1 08", "G2 EF CA Certificate"},
    {0xC109, "00 A4 02 0C 02 C1 09", "G2 EF Link Certificate"},
};

// What a second-generation row does besides being read.
enum class TG2Role { Plain, Sizes, Version2Sizes, Identification };

struct TG2File {
    std::uint16_t Fid;
    const char* Select;
    const char* Name; // "G2 EF ...": the prefix tells the log's two parts apart
    TSizeRule Size;
    std::size_t FixedSize; // for TSizeRule::Fixed
    bool Signed;
    // Read only on a card of version 2, and a 6A82 on its SELECT writes nothing.
    bool Version2;
    TG2Role Role;
};

// VU_Configuration (05 40) is never read: it needs secure messaging. Card
// Download (05 0E) is stored unsigned, as the second generation's download
// leaves it out of the signed files.
inline constexpr TG2File kG2Files[] = {
    {0x0501, "00 A4 02 0C 02 05 01", "G2 EF App ID", TSizeRule::Fixed, 17, true, false,
     TG2Role::Sizes},
    {0x0525, "00 A4 02 0C 02 05 25", "G2 EF App ID V2", TSizeRule::Fixed, 10, true, true,
     TG2Role::Version2Sizes},
    {0x0520, "00 A4 02 0C 02 05 20", "G2 EF Identification", TSizeRule::Fixed, 143, true, false,
     TG2Role::Identification},
    {0x050E, "00 A4 02 0C 02 05 0E", "G2 EF Card Download", TSizeRule::Fixed, 4, false, false,
     TG2Role::Plain},
    {0x0521, "00 A4 02 0C 02 05 21", "G2 EF Driving Licence", TSizeRule::Fixed, 53, true, false,
     TG2Role::Plain},
    {0x0502, "00 A4 02 0C 02 05 02", "G2 EF Events_Data", TSizeRule::EventsG2, 0, true, false,
     TG2Role::Plain},
    {0x0503, "00 A4 02 0C 02 05 03", "G2 EF Faults_Data", TSizeRule::FaultsG2, 0, true, false,
     TG2Role::Plain},
    {0x0504, "00 A4 02 0C 02 05 04", "G2 EF Driver_Activity_Data", TSizeRule::ActivitiesG2, 0, true,
     false, TG2Role::Plain},
    {0x0505, "00 A4 02 0C 02 05 05", "G2 EF Vehicles_Used", TSizeRule::VehiclesG2, 0, true, false,
     TG2Role::Plain},
    {0x0506, "00 A4 02 0C 02 05 06", "G2 EF Places", TSizeRule::PlacesG2, 0, true, false,
     TG2Role::Plain},
    {0x0507, "00 A4 02 0C 02 05 07", "G2 EF current usage", TSizeRule::Fixed, 19, true, false,
     TG2Role::Plain},
    {0x0508, "00 A4 02 0C 02 05 08", "G2 EF control activity", TSizeRule::Fixed, 46, true, false,
     TG2Role::Plain},
    {0x0522, "00 A4 02 0C 02 05 22", "G2 EF Specific_Conditions", TSizeRule::SpecificConditionsG2,
     0, true, false, TG2Role::Plain},
    {0x0523, "00 A4 02 0C 02 05 23", "G2 EF VehicleUnits_Used", TSizeRule::VehicleUnits, 0, true,
     false, TG2Role::Plain},
    {0x0524, "00 A4 02 0C 02 05 24", "G2 EF GNSS_Places", TSizeRule::GnssPlaces, 0, true, false,
     TG2Role::Plain},
    {0x0526, "00 A4 02 0C 02 05 26", "G2 EF Places_Authentication", TSizeRule::PlacesAuthentication,
     0, true, true, TG2Role::Plain},
    {0x0527, "00 A4 02 0C 02 05 27", "G2 EF GNSS_Places_Authentication",
     TSizeRule::GnssPlacesAuthentication, 0, true, true, TG2Role::Plain},
    {0x0528, "00 A4 02 0C 02 05 28", "G2 EF Border_Crossings", TSizeRule::BorderCrossings, 0, true,
     true, TG2Role::Plain},
    {0x0529, "00 A4 02 0C 02 05 29", "G2 EF Load_Unload_Operations",
     TSizeRule::LoadUnloadOperations, 0, true, true, TG2Role::Plain},
    {0x0530, "00 A4 02 0C 02 05 30", "G2 EF Load_Type_Entries", TSizeRule::LoadTypeEntries, 0, true,
     true, TG2Role::Plain},
};

// The byte count of a sized file at the counts read (FixedSize for Fixed).
std::size_t SizeOf(TSizeRule rule, const TApplicationSizes& sizes, std::size_t fixedSize = 0);

} // namespace plan
