// The file steps of a driver card download: the elementary files of the
// tachograph driver card, selected and read in a fixed order, each written to
// the card download file as tagged records (file identifier, type, length,
// data). The card signs each signed file: a hash before the read, the
// signature after it, into the file's signature record; a card that refuses
// leaves 128 blanks where the layout has a record, and none where it has not.
#include "main/CardDownloadFile.h"

#include "main/CardSession.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

// ------------------------------------------------------------------ the file

TFileError::TFileError(int errorNumber)
    : std::runtime_error(FileErrorMessage(errorNumber)), FErrorNumber(errorNumber) {}

void TCardDownloadFile::WriteRecord(std::uint16_t fid, std::uint8_t type, std::uint16_t length,
                                    const std::string& data) {
    std::string record;
    record.reserve(5 + data.size());
    record += static_cast<char>(fid >> 8);
    record += static_cast<char>(fid & 0xFF);
    record += static_cast<char>(type);
    record += static_cast<char>(length >> 8);
    record += static_cast<char>(length & 0xFF);
    record += data;
    Write(record);
}

// ------------------------------------------------------------ the file steps

namespace {

constexpr char kStatusOk[] = "9000";
constexpr std::uint8_t kContents = 0x00;
constexpr std::uint8_t kSignature = 0x01;
constexpr std::uint16_t kSignatureLength = 128;
constexpr std::size_t kChunkLength = 250;
// READ BINARY carries its offset in 15 bits (P1's top bit set means a short
// file identifier), so the byte at 0x7FFF is the last one it can reach.
constexpr std::size_t kAddressableBytes = 0x8000;

const std::string kSignatureBlanks(kSignatureLength, ' ');

constexpr char kPerformHash[] = "80 2A 90 00";
constexpr char kComputeSignature[] = "00 2A 9E 9A 80";

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

// The byte count a READ BINARY text asks for: its Le, the last byte.
std::size_t LengthAskedBy(const char* read) {
    std::uint8_t bytes[8] = {};
    const std::size_t count = HexToBytes(read, bytes, sizeof(bytes));
    return count > 0 ? bytes[count - 1] : 0;
}

const TFixedFile kIcc{0x0002, "00 A4 02 0C 02 00 02", "00 B0 00 00 19", "EF ICC ReadBinary OK",
                      TSigning::None};
const TFixedFile kIc{0x0005, "00 A4 02 0C 02 00 05", "00 B0 00 00 08", "EF IC ReadBinary OK",
                     TSigning::None};
const TFixedFile kApplicationIdentification{0x0501, "00 A4 02 0C 02 05 01", "00 B0 00 00 0A",
                                            "EF App ID ReadBinary OK", TSigning::CardOrBlanks};
const TFixedFile kCardCertificate{0xC100, "00 A4 02 0C 02 C1 00", "00 B0 00 00 C2",
                                  "EF Card Certificate ReadBinary OK", TSigning::None};
const TFixedFile kCaCertificate{0xC108, "00 A4 02 0C 02 C1 08", "00 B0 00 00 C2",
                                "EF CA Certificate ReadBinary OK", TSigning::None};
const TFixedFile kIdentification{0x0520, "00 A4 02 0C 02 05 20", "00 B0 00 00 8F",
                                 "EF Identification ReadBinary OK", TSigning::CardOrBlanks};
const TFixedFile kCardDownload{0x050E, "00 A4 02 0C 02 05 0E", "00 B0 00 00 04",
                               "EF Card Download ReadBinary OK", TSigning::CardOnly};
const TFixedFile kLaterFixedFiles[] = {
    kCardDownload,
    {0x0521, "00 A4 02 0C 02 05 21", "00 B0 00 00 35", "EF Driving Licence ReadBinary OK",
     TSigning::CardOrBlanks},
    {0x0507, "00 A4 02 0C 02 05 07", "00 B0 00 00 13", "EF current usage ReadBinary OK",
     TSigning::CardOnly},
    {0x0508, "00 A4 02 0C 02 05 08", "00 B0 00 00 2E", "EF control activity ReadBinary OK",
     TSigning::CardOrBlanks},
};

// "EF App ID" of "EF App ID ReadBinary OK": the name the file's other lines use.
std::string NameOf(const TFixedFile& row) {
    std::string label = row.Label;
    const auto end = label.rfind(" ReadBinary OK");
    return end == std::string::npos ? label : label.substr(0, end);
}

constexpr char kSelectTachograph[] = "00 A4 04 0C 06 FF 54 41 43 48 4F";

// The counts of EF Application_Identification that size the later files.
struct TApplicationSizes {
    std::size_t EventsPerType = 0;
    std::size_t FaultsPerType = 0;
    std::size_t ActivityLength = 0;
    std::size_t VehicleRecords = 0;
    std::size_t PlaceRecords = 0;
};

enum class TSizeRule { SpecificConditions, Events, Faults, Vehicles, Places, Activities };

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

const TSizedFile kSizedFiles[] = {
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

std::size_t SizeOf(TSizeRule rule, const TApplicationSizes& sizes) {
    switch (rule) {
    case TSizeRule::SpecificConditions:
        return 280;
    case TSizeRule::Events:
        return sizes.EventsPerType * 144;
    case TSizeRule::Faults:
        return sizes.FaultsPerType * 48;
    case TSizeRule::Vehicles:
        return sizes.VehicleRecords * 31 + 2;
    case TSizeRule::Places:
        return sizes.PlaceRecords * 10 + 1;
    case TSizeRule::Activities:
        return sizes.ActivityLength + 4;
    }
    return 0;
}

// Byte `index` of `data`, 0 where the answer is shorter.
std::size_t ByteAt(const std::string& data, std::size_t index) {
    return index < data.size() ? static_cast<unsigned char>(data[index]) : 0;
}

TApplicationSizes ApplicationSizesOf(const std::string& data) {
    TApplicationSizes sizes;
    sizes.EventsPerType = ByteAt(data, 3);
    sizes.FaultsPerType = ByteAt(data, 4);
    sizes.ActivityLength = ByteAt(data, 5) * 256 + ByteAt(data, 6);
    sizes.VehicleRecords = ByteAt(data, 7) * 256 + ByteAt(data, 8);
    sizes.PlaceRecords = ByteAt(data, 9);
    return sizes;
}

// Up to `length` bytes from `offset`, whatever there is.
std::string Part(const std::string& data, std::size_t offset, std::size_t length) {
    return offset < data.size() ? data.substr(offset, length) : std::string();
}

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

// Without the bytes of value 0x20 or below at both ends.
std::string Trimmed(const std::string& text) {
    const auto first = std::find_if_not(text.begin(), text.end(), IsBlankOrControl);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), IsBlankOrControl).base();
    return first < last ? std::string(first, last) : std::string();
}

TCardIdentity IdentityOf(const std::string& data) {
    constexpr std::size_t kCardNumber = 1;
    constexpr std::size_t kSurname = 65; // code-page byte, then 35 characters
    constexpr std::size_t kFirstNamesCodePage = 101;
    constexpr std::size_t kInitial = 102;
    TCardIdentity identity;
    identity.CardNumber = Part(data, kCardNumber, 16);
    const std::string surname = Trimmed(Part(data, kSurname, 36));
    const std::string initial = Part(data, kInitial, 1);
    identity.Driver = initial + "_" + surname;
    identity.DriverDisplay =
        platform::Iso8859ToUtf8(initial, static_cast<int>(ByteAt(data, kFirstNamesCodePage))) +
        "_" + platform::Iso8859ToUtf8(surname, static_cast<int>(ByteAt(data, kSurname)));
    return identity;
}

// Card bytes in a log line: printable ASCII as is, anything else as '.'.
std::string Printable(const std::string& bytes) {
    std::string text(bytes);
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) {
            c = '.';
        }
    }
    return text;
}

// "yyyymmdd_hhmm" of the download's date and time.
std::string StampText(const std::tm& now) {
    char text[64];
    std::snprintf(text, sizeof(text), "%04d%02d%02d_%02d%02d", now.tm_year + 1900, now.tm_mon + 1,
                  now.tm_mday, now.tm_hour, now.tm_min);
    return text;
}

std::string ReadCommand(std::size_t offset, std::size_t length) {
    char text[16];
    std::snprintf(text, sizeof(text), "00 B0 %04X%02X", static_cast<unsigned>(offset),
                  static_cast<unsigned>(length));
    return text;
}

// UPDATE BINARY of the 4 bytes of EF Card_Download: seconds since 1970 UTC.
std::string UpdateLastDownloadCommand(std::uint32_t seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "00 D6 00 00 04 %02X %02X %02X %02X", seconds >> 24 & 0xFF,
                  seconds >> 16 & 0xFF, seconds >> 8 & 0xFF, seconds & 0xFF);
    return text;
}

} // namespace

TCardIdentity TCardSession::ReadCardFiles(TReaderObject& reader) {
    const std::tm now = platform::LocalNow();
    const std::time_t downloadTime = std::time(nullptr);
    TCardDownloadFile file(FOutputPath);
    TApplicationSizes sizes;
    TCardIdentity identity;

    // A SELECT the card refuses leaves the file selected before it current on
    // many cards: reading on would write that file's bytes under this row's
    // identifier. Only "9000" counts as selected.
    auto select = [&](const char* command) {
        return SendCommand(reader, command) == pcsc::kSuccess && FStatusWord == kStatusOk;
    };

    // The signing step of a row, in two halves around its read: the hash of
    // the selected file, then the card's signature of it into the file's
    // signature record. Nothing may be selected in between: a SELECT of the
    // application deletes the card's hash. Without a hash there is no asking
    // for a signature, which would sign the previous file's hash.
    auto hash = [&](TSigning signing, const std::string& name) {
        if (signing == TSigning::None) {
            return false;
        }
        if (SendCommand(reader, kPerformHash) == pcsc::kSuccess && FStatusWord == kStatusOk &&
            FResponseData.empty()) {
            AddLog(name + " PerformHash OK");
            return true;
        }
        AddLog(name + " PerformHash - status = " + FStatusWord + ": not signed by the card");
        return false;
    };
    // A file not read whole is not offered for signing: the card signs the
    // whole file, and its signature would only call this part invalid. Its
    // record stays as without a signing card, and the incomplete download
    // says enough.
    auto sign = [&](TSigning signing, std::uint16_t fid, bool hashed, bool whole,
                    const std::string& name) {
        if (signing == TSigning::None) {
            return;
        }
        std::string signature;
        if (hashed && whole) {
            if (SendCommand(reader, kComputeSignature) == pcsc::kSuccess &&
                FStatusWord == kStatusOk && FResponseData.size() == kSignatureLength) {
                AddLog(name + " ComputeDigitalSignature OK");
                AddLog(FResponseHex);
                signature = FResponseData;
            } else {
                AddLog(name + " ComputeDigitalSignature - status = " + FStatusWord + "  " +
                       std::to_string(FResponseData.size()) + ": not signed by the card");
            }
        }
        if (signature.empty()) {
            if (whole) {
                ++identity.NotSignedByCard;
            }
            if (signing == TSigning::CardOnly) {
                return;
            }
            signature = kSignatureBlanks;
        }
        file.WriteRecord(fid, kSignature, kSignatureLength, signature);
    };

    auto readFixed = [&](const TFixedFile& row) {
        if (!select(row.Select)) {
            identity.Complete = false;
            return;
        }
        const bool hashed = hash(row.Signing, NameOf(row));
        SendCommand(reader, row.Read);
        if (FStatusWord != kStatusOk) {
            identity.Complete = false;
            // EF ICC gets its record whatever the read gave: the data held then.
            if (row.Fid == kIcc.Fid) {
                file.WriteRecord(row.Fid, kContents,
                                 static_cast<std::uint16_t>(FResponseData.size()), FResponseData);
            }
            return;
        }
        AddLog(row.Label);
        AddLog(FResponseHex);
        AddLog("Data: " + Printable(FResponseData));
        if (row.Fid == kApplicationIdentification.Fid) {
            sizes = ApplicationSizesOf(FResponseData);
        } else if (row.Fid == kIdentification.Fid) {
            TCardIdentity read = IdentityOf(FResponseData);
            identity.CardNumber = read.CardNumber;
            identity.Driver = read.Driver;
            identity.DriverDisplay = read.DriverDisplay;
        }
        // A "9000" with another length than asked is not the whole file (nor
        // the file at all); the record keeps what came, framed by its true
        // length, which for answers of up to 259 bytes may need the high byte.
        const bool whole = FResponseData.size() == LengthAskedBy(row.Read);
        if (!whole) {
            identity.Complete = false;
        }
        file.WriteRecord(row.Fid, kContents, static_cast<std::uint16_t>(FResponseData.size()),
                         FResponseData);
        sign(row.Signing, row.Fid, hashed, whole, NameOf(row));
    };

    auto readSized = [&](const TSizedFile& row) {
        const std::size_t size = SizeOf(row.Size, sizes);
        if (!select(row.Select)) {
            identity.Complete = false;
            return;
        }
        const bool hashed = hash(TSigning::CardOrBlanks, row.Name);
        const auto header = static_cast<std::uint16_t>(size & 0xFFFF);
        file.WriteRecord(row.Fid, kContents, header);
        // Never more data than the header announces: a short record is what a
        // failed chunk leaves too, while a longer one would swallow the records
        // after it. Never beyond what READ BINARY can address.
        const std::size_t limit = std::min<std::size_t>(header, kAddressableBytes);
        if (limit < size) {
            identity.Complete = false;
        }
        // A size the download cannot take whole is said in the log, so that the
        // short file and the warning in the closing message have their reason.
        if (size > 0xFFFF) {
            AddLog(std::string(row.Name) + ": size " + std::to_string(size) +
                   " exceeds the record's 16-bit length; reading " + std::to_string(limit) +
                   " bytes");
        } else if (size > kAddressableBytes) {
            AddLog(std::string(row.Name) + ": size " + std::to_string(size) +
                   " exceeds what READ BINARY can address; reading " + std::to_string(limit) +
                   " bytes");
        }
        std::string collected;
        std::size_t offset = 0;
        while (offset < limit) {
            const std::size_t length = std::min(kChunkLength, limit - offset);
            SendCommand(reader, ReadCommand(offset, length));
            AddLog(row.StatusLabel + std::to_string(offset) + " - status = " + FStatusWord + "  " +
                   std::to_string(length));
            if (FStatusWord != kStatusOk) {
                identity.Complete = false;
                break;
            }
            AddLog(row.ChunkLabel + std::to_string(offset) + " ReadBinary OK");
            AddLog(FResponseHex);
            // A card that answers "9000" with another length than asked would
            // misframe every record after this one: keep at most what was asked,
            // and a short answer ends the file's reading, as a failed chunk does.
            const std::string chunk = FResponseData.substr(0, length);
            collected += chunk;
            file.Write(chunk);
            if (chunk.size() != length || FResponseData.size() != length) {
                identity.Complete = false;
                if (chunk.size() < length) {
                    break;
                }
            }
            offset += length;
        }
        if (row.LogBeforeSignature) {
            AddLog(row.AllLabel);
            AddLog(Printable(collected));
        }
        // A file not read whole keeps the blanks: the card's signature is of
        // the whole file and would only call this part invalid.
        sign(TSigning::CardOrBlanks, row.Fid, hashed, collected.size() == size, row.Name);
        if (!row.LogBeforeSignature) {
            AddLog(row.AllLabel);
            AddLog(Printable(collected));
        }
    };

    readFixed(kIcc);
    readFixed(kIc);
    if (!select(kSelectTachograph)) {
        identity.Complete = false;
    } else {
        readFixed(kApplicationIdentification);
        readFixed(kCardCertificate);
        readFixed(kCaCertificate);
        readFixed(kIdentification);

        identity.DownloadName = "C_" + StampText(now) + "_" + identity.DriverDisplay + "_" +
                                platform::Iso8859ToUtf8(identity.CardNumber, 1);
        ShowDownloadName(identity.DownloadName);

        for (const TFixedFile& row : kLaterFixedFiles) {
            readFixed(row);
        }
        for (const TSizedFile& row : kSizedFiles) {
            readSized(row);
        }
    }
    file.Close();
    if (FUpdateCardDownload && identity.Complete && identity.NotSignedByCard == 0 &&
        CardNumberRead(identity.CardNumber)) {
        UpdateLastDownload(reader, static_cast<std::uint32_t>(downloadTime));
    }
    return identity;
}

void TCardSession::UpdateLastDownload(TReaderObject& reader, std::uint32_t seconds) {
    const std::string name = NameOf(kCardDownload);
    if (SendCommand(reader, kCardDownload.Select) != pcsc::kSuccess || FStatusWord != kStatusOk) {
        AddLog(name + " Select - status = " + FStatusWord +
               ": the card keeps its last download date");
        return;
    }
    if (SendCommand(reader, UpdateLastDownloadCommand(seconds)) == pcsc::kSuccess &&
        FStatusWord == kStatusOk) {
        AddLog(name + " UpdateBinary OK");
        return;
    }
    AddLog(name + " UpdateBinary - status = " + FStatusWord +
           ": the card keeps its last download date");
}
