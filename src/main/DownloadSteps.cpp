// The file steps of a driver card download: the rows of DownloadPlan.h carried
// out against the card, each written to the card download file as tagged
// records (file identifier, type, length, data). The card signs each signed
// file: a hash before the read, the signature after it, into the file's
// signature record. In the first-generation part a card that refuses leaves
// 128 blanks where the layout has a record, and none where it has not; in the
// second-generation part, whose signature length depends on the card's curve,
// a refusal leaves no signature record.
#include "archive/Archive.h"
#include "main/CardCapabilities.h"
#include "main/CardDownloadFile.h"
#include "main/CardSession.h"
#include "main/DownloadPlan.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>

using namespace plan;

namespace {

constexpr char kStatusOk[] = "9000";
constexpr char kNotFound[] = "6A82";
constexpr std::uint16_t kSignatureLength = 128;
constexpr std::size_t kChunkLength = 250;
// READ BINARY carries its offset in 15 bits (P1's top bit set means a short
// file identifier), so the byte at 0x7FFF is the last one it can reach.
constexpr std::size_t kAddressableBytes = 0x8000;
// The most a record's 16-bit length can frame.
constexpr std::size_t kRecordBytes = 0xFFFF;
// An extended-length read asks for the whole rest of the file: at a fast
// reader every exchange saved counts (5 ms or so each: some 500 bytes
// at 115,200 bit/s take as long). A card or reader whose buffer holds less refuses it, and
// the short reads take over.
constexpr std::size_t kExtendedChunkLength = kAddressableBytes;

const std::string kSignatureBlanks(kSignatureLength, ' ');

constexpr char kPerformHash[] = "80 2A 90 00";
constexpr char kComputeSignature[] = "00 2A 9E 9A 80";
// Le 00: the length of an ECDSA signature follows the card's curve.
constexpr char kComputeSignatureG2[] = "00 2A 9E 9A 00";

// Plain r || s of the curves the second generation allows: 256, 384, 512 and
// 521 bits.
bool IsG2SignatureLength(std::size_t length) {
    return length == 64 || length == 96 || length == 128 || length == 132;
}

// The byte count a READ BINARY text asks for: its Le, the last byte.
std::size_t LengthAskedBy(const char* read) {
    std::uint8_t bytes[8] = {};
    const std::size_t count = HexToBytes(read, bytes, sizeof(bytes));
    return count > 0 ? bytes[count - 1] : 0;
}

// "EF App ID" of "EF App ID ReadBinary OK": the name the file's other lines use.
std::string NameOf(const TFixedFile& row) {
    std::string label = row.Label;
    const auto end = label.rfind(" ReadBinary OK");
    return end == std::string::npos ? label : label.substr(0, end);
}

std::size_t ByteAt(const std::string& data, std::size_t index) {
    return index < data.size() ? static_cast<unsigned char>(data[index]) : 0;
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

// EF Identification has the same layout in both applications.
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

// READ BINARY with an extended Le: 00, then its two bytes.
std::string ExtendedReadCommand(std::size_t offset, std::size_t length) {
    char text[24];
    std::snprintf(text, sizeof(text), "00 B0 %04X 00 %04X", static_cast<unsigned>(offset),
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

// The total length of a card-verifiable certificate from its first bytes (tag
// 7F 21, then a BER length), or 0 when they are no such certificate. A long
// form of two length bytes needs the fifth byte: `fifth` is read for it.
std::size_t CertificateLength(const std::string& head, std::size_t fifth) {
    if (ByteAt(head, 0) != 0x7F || ByteAt(head, 1) != 0x21) {
        return 0;
    }
    const std::size_t first = ByteAt(head, 2);
    if (first < 0x80) {
        return 3 + first;
    }
    if (first == 0x81) {
        return 4 + ByteAt(head, 3);
    }
    if (first == 0x82) {
        return 5 + (ByteAt(head, 3) << 8 | fifth);
    }
    return 0;
}

} // namespace

// One download's steps over the session's command exchange. Each step logs
// in the first generation's shapes; the second generation's rows carry names
// that begin with "G2 ".
class TDownloadSteps {
public:
    TDownloadSteps(TCardSession& session, TReaderObject& reader, TCardDownloadFile& file)
        : S(session), Reader(reader), File(file), Logging(session.WantsLog()) {}

    TCardIdentity Identity;
    TApplicationSizes Sizes;
    // EF Application_Identification_V2 was read whole and its counts taken.
    bool Version2SizesRead = false;

    static bool SizedByVersion2(TSizeRule rule) {
        return rule == TSizeRule::BorderCrossings || rule == TSizeRule::LoadUnloadOperations ||
               rule == TSizeRule::LoadTypeEntries;
    }

    // A SELECT the card refuses leaves the file selected before it current on
    // many cards: reading on would write that file's bytes under this row's
    // identifier. Only "9000" counts as selected.
    bool Select(const char* command) {
        return S.SendCommand(Reader, command) == pcsc::kSuccess && S.FStatusWord == kStatusOk;
    }

    // The signing step of a row, in two halves around its read: the hash of
    // the selected file, then the card's signature of it into the file's
    // signature record. Nothing may be selected in between: a SELECT of the
    // application deletes the card's hash. Without a hash there is no asking
    // for a signature, which would sign the previous file's hash.
    bool Hash(bool signedFile, const std::string& name) {
        if (!signedFile) {
            return false;
        }
        if (S.SendCommand(Reader, kPerformHash) == pcsc::kSuccess && S.FStatusWord == kStatusOk &&
            S.FResponseData.empty()) {
            S.AddLog(name + " PerformHash OK");
            return true;
        }
        S.AddLog(name + " PerformHash - status = " + S.FStatusWord + ": not signed by the card");
        return false;
    }

    // The card's signature of the hashed file, or empty when it refuses.
    std::string AskSignature(const char* command, bool (*acceptable)(std::size_t),
                             const std::string& name) {
        if (S.SendCommand(Reader, command) == pcsc::kSuccess && S.FStatusWord == kStatusOk &&
            acceptable(S.FResponseData.size())) {
            if (Logging) {
                S.AddLog(name + " ComputeDigitalSignature OK");
                S.AddLog(S.FResponseHex);
            }
            return S.FResponseData;
        }
        S.AddLog(name + " ComputeDigitalSignature - status = " + S.FStatusWord + "  " +
                 std::to_string(S.FResponseData.size()) + ": not signed by the card");
        return {};
    }

    // A file not read whole is not offered for signing: the card signs the
    // whole file, and its signature would only call this part invalid. Its
    // record stays as without a signing card, and the incomplete download
    // says enough.
    TFileSigning Sign(TSigning signing, std::uint16_t fid, bool hashed, bool whole,
                      const std::string& name) {
        if (signing == TSigning::None) {
            return TFileSigning::NotSigned;
        }
        std::string signature;
        if (hashed && whole) {
            signature = AskSignature(
                kComputeSignature, [](std::size_t n) { return n == kSignatureLength; }, name);
        }
        if (signature.empty()) {
            if (whole) {
                ++Identity.NotSignedByCard;
            }
            if (signing == TSigning::CardOnly) {
                return TFileSigning::Refused;
            }
            File.WriteRecord(fid, kSignature, kSignatureLength, kSignatureBlanks);
            return TFileSigning::Refused;
        }
        File.WriteRecord(fid, kSignature, kSignatureLength, signature);
        return TFileSigning::ByCard;
    }

    TFileSigning SignG2(std::uint16_t fid, bool hashed, bool whole, const std::string& name) {
        const std::string signature =
            hashed && whole ? AskSignature(kComputeSignatureG2, IsG2SignatureLength, name)
                            : std::string();
        if (signature.empty()) {
            if (whole) {
                ++Identity.NotSignedByCard;
            }
            return TFileSigning::Refused;
        }
        File.WriteRecord(fid, kSignatureG2, static_cast<std::uint16_t>(signature.size()),
                         signature);
        return TFileSigning::ByCard;
    }

    void ReadFixed(const TFixedFile& row) {
        if (!Select(row.Select)) {
            Identity.Complete = false;
            S.NoteFile(row.Fid, NameOf(row), TFileStatus::NotRead, TFileSigning::NotSigned);
            return;
        }
        const bool hashed = Hash(row.Signing != TSigning::None, NameOf(row));
        S.SendCommand(Reader, row.Read);
        if (S.FStatusWord != kStatusOk) {
            Identity.Complete = false;
            // EF ICC gets its record whatever the read gave: the data held then.
            if (row.Fid == kIcc.Fid) {
                File.WriteRecord(row.Fid, kContents,
                                 static_cast<std::uint16_t>(S.FResponseData.size()),
                                 S.FResponseData);
            }
            S.NoteFile(row.Fid, NameOf(row), TFileStatus::NotRead, TFileSigning::NotSigned);
            return;
        }
        if (Logging) {
            S.AddLog(row.Label);
            S.AddLog(S.FResponseHex);
            S.AddLog("Data: " + Printable(S.FResponseData));
        }
        Count(std::min(S.FResponseData.size(), LengthAskedBy(row.Read)));
        if (row.Fid == kApplicationIdentification.Fid) {
            Sizes = ApplicationSizesOf(S.FResponseData);
            for (const TSizedFile& sized : kSizedFiles) {
                Expect(std::min<std::size_t>(SizeOf(sized.Size, Sizes), kAddressableBytes));
            }
        } else if (row.Fid == kIdentification.Fid) {
            TakeIdentity(S.FResponseData);
        }
        // A "9000" with another length than asked is not the whole file (nor
        // the file at all); the record keeps what came, framed by its true
        // length, which for answers of up to 259 bytes may need the high byte.
        const bool whole = S.FResponseData.size() == LengthAskedBy(row.Read);
        if (!whole) {
            Identity.Complete = false;
        }
        File.WriteRecord(row.Fid, kContents, static_cast<std::uint16_t>(S.FResponseData.size()),
                         S.FResponseData);
        const TFileSigning signing = Sign(row.Signing, row.Fid, hashed, whole, NameOf(row));
        S.NoteFile(row.Fid, NameOf(row), whole ? TFileStatus::Read : TFileStatus::Partial, signing);
    }

    // Reads `limit` bytes of the selected file from `offset` on in chunks,
    // logging each; stops at the first chunk that fails or comes short.
    // `mayExtend`: the chunks may be extended-length reads, while the card
    // takes them.
    std::string ReadChunks(std::size_t offset, std::size_t limit, const std::string& statusLabel,
                           const std::string& chunkLabel, bool write = false,
                           bool mayExtend = false) {
        std::string collected;
        while (offset < limit) {
            if (mayExtend && ExtendedReads && limit - offset > kChunkLength) {
                const std::size_t length = std::min(kExtendedChunkLength, limit - offset);
                if (ReadExtended(offset, length, statusLabel, chunkLabel)) {
                    collected += S.FResponseData;
                    Count(length);
                    if (write) {
                        File.Write(S.FResponseData);
                    }
                    offset += length;
                    continue;
                }
                // Nothing of the refused read was kept: the short reads
                // take it again from the same offset.
            }
            const std::size_t length = std::min(kChunkLength, limit - offset);
            if (S.SendCommand(Reader, ReadCommand(offset, length)) == pcsc::kResetCard &&
                Reattach()) {
                S.SendCommand(Reader, ReadCommand(offset, length));
            }
            if (Logging) {
                S.AddLog(statusLabel + std::to_string(offset) + " - status = " + S.FStatusWord +
                         "  " + std::to_string(length));
            }
            if (S.FStatusWord != kStatusOk) {
                Identity.Complete = false;
                break;
            }
            if (Logging) {
                S.AddLog(chunkLabel + std::to_string(offset) + " ReadBinary OK");
                S.AddLog(S.FResponseHex);
            }
            // A card that answers "9000" with another length than asked would
            // misframe every record after this one: keep at most what was asked,
            // and a short answer ends the file's reading, as a failed chunk does.
            const std::string chunk = S.FResponseData.substr(0, length);
            collected += chunk;
            Count(chunk.size());
            if (write) {
                File.Write(chunk);
            }
            if (chunk.size() != length || S.FResponseData.size() != length) {
                Identity.Complete = false;
                if (chunk.size() < length) {
                    break;
                }
            }
            offset += length;
        }
        return collected;
    }

    // One extended-length read of exactly `length` bytes. Anything else (a
    // refusal such as 6700 or 6Cxx, a failed exchange, as when the reader
    // does not pass extended APDUs, or another length) keeps nothing of it
    // and turns extended reads off for the rest of the download.
    bool ReadExtended(std::size_t offset, std::size_t length, const std::string& statusLabel,
                      const std::string& chunkLabel) {
        const pcsc::TResult result =
            S.SendCommand(Reader, ExtendedReadCommand(offset, length), length);
        if (result == pcsc::kSuccess && S.FStatusWord == kStatusOk &&
            S.FResponseData.size() == length) {
            if (Logging) {
                S.AddLog(statusLabel + std::to_string(offset) + " - status = " + S.FStatusWord +
                         "  " + std::to_string(length));
                S.AddLog(chunkLabel + std::to_string(offset) + " ReadBinary OK");
                S.AddLog(S.FResponseHex);
            }
            return true;
        }
        ExtendedReads = false;
        S.AddLog(statusLabel + std::to_string(offset) + " extended read - status = " +
                 (S.FStatusWord.empty() ? std::string("none") : S.FStatusWord) + "  " +
                 std::to_string(S.FResponseData.size()) + ": short reads from here on");
        return false;
    }

    // A record written as it is read: its header announcing `limit` bytes,
    // then each chunk as it comes, so that the file on disk always ends with
    // the last piece read. A reading that stops partway sets the header to
    // the bytes written: announcing the bytes that never came would have
    // readers take the records after it for this file's rest.
    std::string ReadRecordInChunks(std::uint16_t fid, std::uint8_t type, std::size_t limit,
                                   const std::string& statusLabel, const std::string& chunkLabel,
                                   bool mayExtend = false) {
        const std::uint64_t header = File.Position();
        File.WriteRecord(fid, type, static_cast<std::uint16_t>(limit));
        const std::string collected =
            ReadChunks(0, limit, statusLabel, chunkLabel, /*write=*/true, mayExtend);
        if (collected.size() != limit) {
            File.SetRecordLength(header, static_cast<std::uint16_t>(collected.size()));
        }
        return collected;
    }

    // The limit a file of `size` bytes is read to: what a record's 16-bit
    // length can frame and READ BINARY can address. A cut is said in the log,
    // so that the short file and the closing message's warning have their reason.
    std::size_t LimitOf(std::size_t size, const std::string& name) {
        // Capped, never cut to its low 16 bits: a size of 65536 + n is not n.
        const std::size_t limit = std::min({size, kRecordBytes, kAddressableBytes});
        if (limit < size) {
            Identity.Complete = false;
        }
        if (size > 0xFFFF) {
            S.AddLog(name + ": size " + std::to_string(size) +
                     " exceeds the record's 16-bit length; reading " + std::to_string(limit) +
                     " bytes");
        } else if (size > kAddressableBytes) {
            S.AddLog(name + ": size " + std::to_string(size) +
                     " exceeds what READ BINARY can address; reading " + std::to_string(limit) +
                     " bytes");
        }
        return limit;
    }

    void ReadSized(const TSizedFile& row) {
        const std::size_t size = SizeOf(row.Size, Sizes);
        if (!Select(row.Select)) {
            Identity.Complete = false;
            S.NoteFile(row.Fid, row.Name, TFileStatus::NotRead, TFileSigning::NotSigned);
            return;
        }
        const bool hashed = Hash(true, row.Name);
        const std::size_t limit = LimitOf(size, row.Name);
        const std::string collected =
            ReadRecordInChunks(row.Fid, kContents, limit, row.StatusLabel, row.ChunkLabel);
        if (row.LogBeforeSignature && Logging) {
            S.AddLog(row.AllLabel);
            S.AddLog(Printable(collected));
        }
        // A file not read whole keeps the blanks: the card's signature is of
        // the whole file and would only call this part invalid.
        const bool whole = collected.size() == size;
        const TFileSigning signing = Sign(TSigning::CardOrBlanks, row.Fid, hashed, whole, row.Name);
        if (!row.LogBeforeSignature && Logging) {
            S.AddLog(row.AllLabel);
            S.AddLog(Printable(collected));
        }
        S.NoteFile(row.Fid, row.Name, whole ? TFileStatus::Read : TFileStatus::Partial, signing);
    }

    void TakeIdentity(const std::string& data) {
        const TCardIdentity read = IdentityOf(data);
        Identity.CardNumber = read.CardNumber;
        Identity.Driver = read.Driver;
        Identity.DriverDisplay = read.DriverDisplay;
    }

    // ------------------------------------------- the second generation

    // A certificate's length is in its first bytes: those first, then the rest.
    void ReadCertificate(const TCertificateFile& row) {
        const std::string name = row.Name;
        if (!Select(row.Select)) {
            Identity.Complete = false;
            S.NoteFile(row.Fid, name, TFileStatus::NotRead, TFileSigning::NotSigned);
            return;
        }
        Expect(4);
        std::string data = ReadChunks(0, 4, name + " ", name + " ");
        if (data.size() < 4) {
            File.WriteRecord(row.Fid, kContentsG2, static_cast<std::uint16_t>(data.size()), data);
            S.NoteFile(row.Fid, name, data.empty() ? TFileStatus::NotRead : TFileStatus::Partial,
                       TFileSigning::NotSigned);
            return;
        }
        std::size_t fifth = 0;
        if (ByteAt(data, 2) == 0x82) {
            Expect(1);
            data += ReadChunks(4, 5, name + " ", name + " ");
            fifth = ByteAt(data, 4);
        }
        const std::size_t total = CertificateLength(data, fifth);
        if (total == 0) {
            // An empty link certificate is all zeros: nothing more to frame.
            S.AddLog(name + ": no certificate");
        } else if (total > data.size()) {
            Expect(std::min(total, kAddressableBytes) - data.size());
            data +=
                ReadChunks(data.size(), std::min(total, kAddressableBytes), name + " ", name + " ");
        }
        if (Logging) {
            S.AddLog(name + " ReadBinary OK");
            S.AddLog("Data: " + Printable(data));
        }
        File.WriteRecord(row.Fid, kContentsG2, static_cast<std::uint16_t>(data.size()), data);
        const bool whole = total == 0 || data.size() == std::min(total, kAddressableBytes);
        S.NoteFile(row.Fid, name, whole ? TFileStatus::Read : TFileStatus::Partial,
                   TFileSigning::NotSigned);
    }

    void ReadG2(const TG2File& row) {
        const std::string name = row.Name;
        if (!Select(row.Select)) {
            // A version-2 file a card does not have is no fault of the download;
            // but a version-2 card has EF Application_Identification_V2, and
            // one without it cannot give a whole download.
            if (!(row.Version2 && row.Role != TG2Role::Version2Sizes &&
                  S.FStatusWord == kNotFound)) {
                Identity.Complete = false;
                S.NoteFile(row.Fid, name, TFileStatus::NotRead, TFileSigning::NotSigned);
            } else {
                S.AddLog(name + " Select - status = " + S.FStatusWord + ": not on the card");
                // Not to be read after all: the bytes still to do shrink, never
                // below those already read.
                const std::size_t unread = BytesToDo - std::min(BytesToDo, BytesDone);
                BytesToDo -= std::min(
                    unread, std::min(SizeOf(row.Size, Sizes, row.FixedSize), kAddressableBytes));
                S.NoteFile(row.Fid, name, TFileStatus::NotOnCard, TFileSigning::NotSigned);
            }
            return;
        }
        const std::size_t size = SizeOf(row.Size, Sizes, row.FixedSize);
        const std::size_t limit = LimitOf(size, name);
        ReadingG2 = &row;
        ReadingHashed = Hash(row.Signed, name);
        const std::string collected = ReadRecordInChunks(row.Fid, kContentsG2, limit, name + " ",
                                                         name + " ", /*mayExtend=*/true);
        const bool hashed = ReadingHashed;
        ReadingG2 = nullptr;
        if (Logging) {
            S.AddLog(name + " all:");
            S.AddLog(Printable(collected));
        }
        const bool whole = collected.size() == size;
        if (whole) {
            if (row.Role == TG2Role::Sizes) {
                Sizes = ApplicationSizesG2Of(collected);
                ExpectG2(/*version2=*/false);
            } else if (row.Role == TG2Role::Version2Sizes) {
                AddVersion2Sizes(Sizes, collected);
                Version2SizesRead = true;
                ExpectG2(/*version2=*/true);
            } else if (row.Role == TG2Role::Identification && Identity.CardNumber.empty()) {
                TakeIdentity(collected);
            }
        }
        const TFileSigning signing =
            row.Signed ? SignG2(row.Fid, hashed, whole, name) : TFileSigning::NotSigned;
        S.NoteFile(row.Fid, name, whole ? TFileStatus::Read : TFileStatus::Partial, signing);
    }

    // A card the reader powered anew after an exchange that went wrong (an
    // extended read it could not carry) has lost its selection and its hash.
    // Within a G2 file, once a download: connected again, the application
    // and the file selected again and hashed again, so that the short reads
    // go on where they stopped and the card still signs the file.
    bool Reattach() {
        if (ReadingG2 == nullptr || Reattached) {
            return false;
        }
        Reattached = true;
        const std::string name = ReadingG2->Name;
        S.AddLog("The card was reset: connecting again to go on with " + name);
        if (!S.ReattachCard(Reader) || !Select(kSelectTachographG2) || !Select(ReadingG2->Select)) {
            S.AddLog(name + ": the card could not be taken up again - status = " +
                     (S.FStatusWord.empty() ? std::string("none") : S.FStatusWord));
            return false;
        }
        if (ReadingHashed) {
            ReadingHashed = Hash(true, name);
        }
        return true;
    }

    // EF ATR/INFO's word on extended length, read from the MF; DF
    // Tachograph_G2 is selected again after it. Nothing when that selection
    // fails: the G2 files cannot be read then.
    std::optional<bool> AtrInfoAnnouncesExtendedLength() {
        bool announces = false;
        if (Select(kSelectMasterFile) && Select(kSelectAtrInfo)) {
            S.SendCommand(Reader, kReadAtrInfo);
            // 6282: the file is shorter than the 256 bytes asked for.
            if (S.FStatusWord == kStatusOk || S.FStatusWord == "6282") {
                announces = InfoAnnouncesExtendedLength(S.FResponseData);
                if (Logging) {
                    S.AddLog("EF ATR/INFO ReadBinary OK");
                    S.AddLog(S.FResponseHex);
                }
            }
        } else {
            S.AddLog("EF ATR/INFO Select - status = " +
                     (S.FStatusWord.empty() ? std::string("none") : S.FStatusWord));
        }
        if (!Select(kSelectTachographG2)) {
            S.AddLog("DF Tachograph_G2 Select again - status = " +
                     (S.FStatusWord.empty() ? std::string("none") : S.FStatusWord) +
                     ": the G2 files are not read");
            return std::nullopt;
        }
        return announces;
    }

    // The second-generation part, on a card that has DF Tachograph_G2. A
    // first-generation card answers the probe 6A82; any answer but 9000 ends
    // the download as a first-generation one, and no answer as one not whole.
    void ReadSecondGeneration() {
        if (!Select(kSelectTachographG2)) {
            // Without an answer (the exchange failed and has its own lines)
            // the card may have had a second part: the download is not whole.
            if (S.FStatusWord.empty()) {
                Identity.Complete = false;
            } else {
                S.AddLog("DF Tachograph_G2 Select - status = " + S.FStatusWord +
                         ": a first-generation card");
            }
            return;
        }
        Identity.Generation = 2;
        S.AddLog("DF Tachograph_G2 selected: a second-generation card");
        // T=0 carries no extended Le; T=1 does where the card says it takes
        // one, in its ATR or else in EF ATR/INFO.
        ExtendedReads = false;
        if (Reader.Protocol == ptT1) {
            ExtendedReads = AnnouncesExtendedLength(Reader.ATR);
            if (!ExtendedReads) {
                const std::optional<bool> info = AtrInfoAnnouncesExtendedLength();
                if (!info) {
                    Identity.Complete = false;
                    return;
                }
                ExtendedReads = *info;
            }
        }
        if (ExtendedReads) {
            S.AddLog("The card announces extended length: G2 files in reads of up to " +
                     std::to_string(kExtendedChunkLength) + " bytes");
        }
        Sizes = {};
        Expect(kG2Files[0].FixedSize);
        for (const TCertificateFile& row : kG2Certificates) {
            ReadCertificate(row);
        }
        for (const TG2File& row : kG2Files) {
            if (row.Version2 && Sizes.StructureVersion < 1) {
                continue;
            }
            // Sized by EF Application_Identification_V2: without it read
            // whole there is no telling their size, and a guess would cut them.
            if (SizedByVersion2(row.Size) && !Version2SizesRead) {
                Identity.Complete = false;
                S.AddLog(row.Name + std::string(": not read, its size is unknown without "
                                                "G2 EF App ID V2"));
                S.NoteFile(row.Fid, row.Name, TFileStatus::NotRead, TFileSigning::NotSigned);
                continue;
            }
            ReadG2(row);
        }
    }

    // The byte counts behind the window's time left: `bytes` more to read,
    // and `bytes` read.
    void Expect(std::size_t bytes) {
        BytesToDo += bytes;
        S.ShowBytes(BytesDone, BytesToDo);
    }
    void Count(std::size_t bytes) {
        BytesDone += bytes;
        S.ShowBytes(BytesDone, std::max(BytesDone, BytesToDo));
    }
    // Once the second generation's counts are read: the files they size
    // (EF Application_Identification itself is counted already).
    void ExpectG2(bool version2) {
        std::size_t bytes = 0;
        for (const TG2File& row : kG2Files) {
            if (row.Version2 == version2 && row.Role != TG2Role::Sizes &&
                row.Role != TG2Role::Version2Sizes) {
                bytes += std::min(SizeOf(row.Size, Sizes, row.FixedSize), kAddressableBytes);
            }
        }
        if (!version2 && Sizes.StructureVersion >= 1) {
            bytes += kG2Files[1].FixedSize; // EF Application_Identification_V2
        }
        Expect(bytes);
    }

    // UPDATE BINARY of EF Card_Download in the current application.
    bool UpdateLastDownload(std::uint32_t seconds, const std::string& name) {
        if (!Select(kCardDownload.Select)) {
            S.AddLog(name + " Select - status = " + S.FStatusWord +
                     ": the card keeps its last download date");
            return false;
        }
        if (S.SendCommand(Reader, UpdateLastDownloadCommand(seconds)) == pcsc::kSuccess &&
            S.FStatusWord == kStatusOk) {
            S.AddLog(name + " UpdateBinary OK");
            return true;
        }
        S.AddLog(name + " UpdateBinary - status = " + S.FStatusWord +
                 ": the card keeps its last download date");
        return false;
    }

private:
    TCardSession& S;
    TReaderObject& Reader;
    TCardDownloadFile& File;
    std::size_t BytesDone = 0;
    std::size_t BytesToDo = 0;
    // The second generation's files are read with extended Le while this holds.
    bool ExtendedReads = false;
    // The G2 file being read and whether the card holds its hash; see Reattach.
    const TG2File* ReadingG2 = nullptr;
    bool ReadingHashed = false;
    bool Reattached = false;
    // The session's WantsLog(), asked once: the lines of every response are
    // built only for a log that somebody reads.
    const bool Logging;
};

TCardIdentity TCardSession::ReadCardFiles(TReaderObject& reader) {
    const std::tm now = platform::LocalNow();
    const std::time_t downloadTime = std::time(nullptr);
    FWrittenBytes.clear();
    TCardDownloadFile file(FOutputPath);
    TDownloadSteps steps(*this, reader, file);
    // The first application's files; a second generation's follow them with
    // the progress at its end.
    const int filesToDo =
        6 + static_cast<int>(std::size(kLaterFixedFiles) + std::size(kSizedFiles));
    int filesDone = 0;
    auto fixed = [&](const TFixedFile& row) {
        steps.ReadFixed(row);
        ShowProgress(++filesDone, filesToDo);
    };

    std::size_t fixedBytes = LengthAskedBy(kIcc.Read) + LengthAskedBy(kIc.Read);
    for (const TFixedFile* row :
         {&kApplicationIdentification, &kCardCertificate, &kCaCertificate, &kIdentification}) {
        fixedBytes += LengthAskedBy(row->Read);
    }
    for (const TFixedFile& row : kLaterFixedFiles) {
        fixedBytes += LengthAskedBy(row.Read);
    }
    steps.Expect(fixedBytes);
    try {
        fixed(kIcc);
        fixed(kIc);
        if (!steps.Select(kSelectTachograph)) {
            steps.Identity.Complete = false;
        } else {
            fixed(kApplicationIdentification);
            fixed(kCardCertificate);
            fixed(kCaCertificate);
            fixed(kIdentification);

            steps.Identity.DownloadName = "C_" + StampText(now) + "_" +
                                          steps.Identity.DriverDisplay + "_" +
                                          platform::Iso8859ToUtf8(steps.Identity.CardNumber, 1);
            ShowDownloadName(steps.Identity.DownloadName);

            for (const TFixedFile& row : kLaterFixedFiles) {
                fixed(row);
            }
            for (const TSizedFile& row : kSizedFiles) {
                steps.ReadSized(row);
                ShowProgress(++filesDone, filesToDo);
            }
            // Never between a hash and its signature: selecting an application
            // deletes the card's hash.
            steps.ReadSecondGeneration();
        }
        file.Close();
    } catch (const TFileError&) {
        // What was written is not lost with the error: it is kept under a
        // name that no other download takes, and never as the target's.
        KeepAfterError(file);
        throw;
    }
    FWrittenBytes = file.Bytes();
    const TCardIdentity identity = steps.Identity;
    if (!StoreDownload(file, identity)) {
        return identity;
    }
    if (FUpdateCardDownload && identity.Complete && identity.NotSignedByCard == 0 &&
        CardNumberRead(identity.CardNumber)) {
        WriteDownloadDate(steps, reader, identity, static_cast<std::uint32_t>(downloadTime));
    }
    return identity;
}

void TCardSession::KeepAfterError(TCardDownloadFile& file) {
    if (file.Named()) {
        return;
    }
    try {
        AddLog("What was read is kept as " +
               file.Keep(PathStem(FOutputPath) + archive::kNotWholeSuffix));
    } catch (const TFileError&) {
        // The error on its way says enough.
    }
}

bool TCardSession::StoreDownload(TCardDownloadFile& file, const TCardIdentity& identity) {
    TDownloadOutcome& outcome = FLastOutcome;
    const bool driverCard = CardNumberRead(identity.CardNumber);
    const bool whole = identity.Complete && driverCard;
    outcome.Path.clear();
    // The archive first: it is where the download is kept for good.
    if (!FArchiveFolder.empty() && driverCard && !identity.DownloadName.empty()) {
        try {
            outcome.Path = archive::Save(archive::TBytes{file.Bytes()}, FArchiveFolder,
                                         identity.DownloadName, whole);
        } catch (const archive::TError& error) {
            outcome.Error = error.what();
            outcome.ErrorNumber = error.ErrorNumber();
            outcome.ErrorPath = error.Path();
            // Kept under a name of its own: the next download's file would
            // take the place of the shared one.
            try {
                outcome.Path = file.Keep(PathStem(FOutputPath) + "_" +
                                         PathStem(archive::FileName(identity.DownloadName, whole)));
                outcome.Saved = true;
                AddLog("Not archived: " + outcome.Error + "; the download is kept as " +
                       outcome.Path);
            } catch (const TFileError& kept) {
                AddLog("Not archived: " + outcome.Error +
                       "; the download cannot be kept: " + kept.what());
            }
            return false;
        }
    }
    // --output FILE takes only a whole driver card's download; the shared
    // working file takes every finished one.
    try {
        if (FPublishWholeOnly && !whole) {
            const std::string kept = file.Keep(PathStem(FOutputPath) + archive::kNotWholeSuffix);
            if (outcome.Path.empty()) {
                outcome.Path = kept;
            }
            AddLog(FOutputPath + " is left as it was: the download is not whole; it is kept as " +
                   kept);
        } else {
            file.Publish(FOutputPath);
            if (outcome.Path.empty()) {
                outcome.Path = FOutputPath;
            }
        }
    } catch (const TFileError&) {
        KeepAfterError(file);
        throw;
    }
    outcome.Saved = true;
    return true;
}

void TCardSession::WriteDownloadDate(TDownloadSteps& steps, TReaderObject& reader,
                                     const TCardIdentity& identity, std::uint32_t seconds) {
    if (FStopRequested) {
        AddLog(NameOf(kCardDownload) +
               ": the download was stopped; the card keeps its last download date");
        return;
    }
    // Both applications or neither: a stop asked meanwhile waits for the end.
    FHoldStop = true;
    struct TRelease {
        bool& Hold;
        ~TRelease() { Hold = false; }
    } release{FHoldStop};
    if (identity.Generation == 2) {
        // Both applications learn the date: first the second's, selected
        // now, then the first's.
        if (steps.UpdateLastDownload(seconds, "G2 EF Card Download") &&
            steps.Select(kSelectTachograph)) {
            UpdateLastDownload(reader, seconds);
        }
    } else {
        UpdateLastDownload(reader, seconds);
    }
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
