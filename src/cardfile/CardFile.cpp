#include "cardfile/CardFile.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace cardfile {

std::string FidText(std::uint16_t fid) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(fid));
    return text;
}

std::string HexText(TBytesView bytes) {
    std::string text;
    char pair[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

namespace {

// ISO/IEC 9796-2 framing of a recovered certificate: header, recoverable part,
// SHA-1 of the whole content, trailer.
constexpr std::uint8_t kRecoveryHeader = 0x6A;
constexpr std::uint8_t kRecoveryTrailer = 0xBC;
constexpr std::size_t kRecoverableLength = 106;
constexpr std::size_t kCertificateSignature = 128;
constexpr std::size_t kPublicRemainder = 58;
constexpr std::size_t kReferenceLength = 8;

template <typename T> std::optional<T> Fail(std::string* error, const std::string& why) {
    if (error != nullptr) {
        *error = why;
    }
    return std::nullopt;
}

TBytes Slice(TBytesView bytes, std::size_t offset, std::size_t length) {
    const auto part = bytes.subspan(offset, length);
    return TBytes(part.begin(), part.end());
}

bool IsBlank(const TBytes& signature) {
    return !signature.empty() && std::all_of(signature.begin(), signature.end(),
                                             [](std::uint8_t b) { return b == 0x20; });
}

const TRecord* FindContents(const std::vector<TRecord>& records, std::uint16_t fid) {
    const auto found = std::find_if(records.begin(), records.end(), [fid](const TRecord& r) {
        return r.Fid == fid && r.Type == kContents;
    });
    return found == records.end() ? nullptr : &*found;
}

// The card's certificate from C1 08 and C1 00, or why the chain breaks.
std::optional<TCertificate> CheckChain(const std::vector<TRecord>& records, const TRootKey& root,
                                       std::string* error) {
    const TRecord* memberState = FindContents(records, kMemberStateCertificate);
    const TRecord* card = FindContents(records, kCardCertificate);
    if (memberState == nullptr || card == nullptr) {
        return Fail<TCertificate>(error,
                                  std::string("the file has no ") +
                                      (memberState == nullptr ? "Member State certificate (C1 08)"
                                                              : "card certificate (C1 00)"));
    }
    std::string why;
    const auto msCertificate = RecoverCertificate(memberState->Data, root.Key, &why);
    if (!msCertificate) {
        return Fail<TCertificate>(error, "the Member State certificate (C1 08) " + why);
    }
    if (msCertificate->AuthorityReference != root.KeyIdentifier) {
        return Fail<TCertificate>(error,
                                  "the Member State certificate (C1 08) names the authority " +
                                      HexText(msCertificate->AuthorityReference) +
                                      ", the root key is " + HexText(root.KeyIdentifier));
    }
    const auto cardCertificate = RecoverCertificate(card->Data, msCertificate->Key, &why);
    if (!cardCertificate) {
        return Fail<TCertificate>(error, "the card certificate (C1 00) " + why);
    }
    if (cardCertificate->AuthorityReference != msCertificate->HolderReference) {
        return Fail<TCertificate>(error, "the card certificate (C1 00) names the authority " +
                                             HexText(cardCertificate->AuthorityReference) +
                                             ", the Member State certificate certifies " +
                                             HexText(msCertificate->HolderReference));
    }
    return cardCertificate;
}

// Unsigned files that every download holds, with the size the card gives them.
struct TRequiredFile {
    std::uint16_t Fid;
    std::size_t Size; // 0: any
};
constexpr TRequiredFile kUnsignedFiles[] = {
    {0x0002, 25}, {0x0005, 8}, {kCardCertificate, 0}, {kMemberStateCertificate, 0}};

struct TFileNameRow {
    std::uint16_t Fid;
    const char* Name;
};
constexpr TFileNameRow kFileNames[] = {
    {0x0002, "EF ICC"},
    {0x0005, "EF IC"},
    {0x0501, "EF Application_Identification"},
    {0x0502, "EF Events_Data"},
    {0x0503, "EF Faults_Data"},
    {0x0504, "EF Driver_Activity_Data"},
    {0x0505, "EF Vehicles_Used"},
    {0x0506, "EF Places"},
    {0x0507, "EF Current_Usage"},
    {0x0508, "EF Control_Activity_Data"},
    {0x050E, "EF Card_Download"},
    {0x0520, "EF Identification"},
    {0x0521, "EF Driving_Licence_Info"},
    {0x0522, "EF Specific_Conditions"},
    {0x0523, "EF VehicleUnits_Used"},
    {0x0524, "EF GNSS_Places"},
    {0x0525, "EF Application_Identification_V2"},
    {0x0526, "EF Places_Authentication"},
    {0x0527, "EF GNSS_Places_Authentication"},
    {0x0528, "EF Border_Crossings"},
    {0x0529, "EF Load_Unload_Operations"},
    {0x0530, "EF Load_Type_Entries"},
    {0xC100, "EF Card_Certificate"},
    {0xC101, "EF CardSignCertificate"},
    {0xC108, "EF CA_Certificate"},
    {0xC109, "EF Link_Certificate"},
};

// The first generation's EF Identification begins with the card's issuing
// Member State and its card number, as the second generation's does.
constexpr std::size_t kCardNumberEnd = 17;

} // namespace

std::string FileName(std::uint16_t fid, bool g2) {
    const auto row = std::find_if(std::begin(kFileNames), std::end(kFileNames),
                                  [fid](const TFileNameRow& r) { return r.Fid == fid; });
    const std::string spaced = FidText(fid).insert(2, " ");
    const std::string name = row == std::end(kFileNames) ? "EF" : row->Name;
    return (g2 ? "G2 " : "") + name + " (" + spaced + ")";
}

void NoteMissing(const std::vector<TRecord>& records, std::uint8_t type, std::uint16_t fid,
                 std::size_t size, TReport& report) {
    const auto found = std::find_if(records.begin(), records.end(), [&](const TRecord& r) {
        return r.Fid == fid && r.Type == type && (size == 0 || r.Data.size() == size);
    });
    if (found == records.end()) {
        report.Missing.push_back(FileName(fid, type == kContentsG2));
    }
}

bool IsSignedFile(std::uint16_t fid) {
    return std::find(kSignedFiles.begin(), kSignedFiles.end(), fid) != kSignedFiles.end();
}

std::optional<std::vector<TRecord>> ReadRecords(TBytesView file, std::string* error) {
    std::vector<TRecord> records;
    std::size_t at = 0;
    while (at < file.size()) {
        if (file.size() - at < kRecordHeader) {
            return Fail<std::vector<TRecord>>(
                error, "the file ends inside a record header at offset " + std::to_string(at));
        }
        TRecord record;
        record.Fid = static_cast<std::uint16_t>(file[at] << 8 | file[at + 1]);
        record.Type = file[at + 2];
        record.Offset = at;
        const std::size_t length = static_cast<std::size_t>(file[at + 3]) << 8 | file[at + 4];
        const std::size_t remaining = file.size() - at - kRecordHeader;
        if (length > remaining) {
            return Fail<std::vector<TRecord>>(
                error, "the record of file " + FidText(record.Fid) + " at offset " +
                           std::to_string(at) + " announces " + std::to_string(length) +
                           " bytes, " + std::to_string(remaining) + " remain");
        }
        record.Data = Slice(file, at + kRecordHeader, length);
        records.push_back(std::move(record));
        at += kRecordHeader + length;
    }
    return records;
}

std::optional<TRootKey> ReadRootKey(TBytesView file, std::string* error) {
    if (file.size() != kRootKeyLength) {
        return Fail<TRootKey>(error, "a root key file holds " + std::to_string(kRootKeyLength) +
                                         " bytes, this one " + std::to_string(file.size()));
    }
    TRootKey root;
    root.KeyIdentifier = Slice(file, 0, kReferenceLength);
    root.Key.Modulus = Slice(file, 8, 128);
    root.Key.Exponent = Slice(file, 136, 8);
    return root;
}

std::optional<TCertificate> RecoverCertificate(TBytesView certificate,
                                               const crypto::TRsaPublicKey& authority,
                                               std::string* error) {
    if (certificate.size() != kCertificateLength) {
        return Fail<TCertificate>(error, "holds " + std::to_string(certificate.size()) +
                                             " bytes instead of " +
                                             std::to_string(kCertificateLength));
    }
    const auto recovered =
        crypto::RsaPublicRaw(authority, certificate.subspan(0, kCertificateSignature));
    if (!recovered || recovered->size() != kCertificateSignature ||
        recovered->front() != kRecoveryHeader || recovered->back() != kRecoveryTrailer) {
        return Fail<TCertificate>(error, "does not recover with the key that should sign it");
    }
    // C = Cr || Cn: CPI, CAR, CHA, EOV, CHR, modulus, exponent.
    TBytes content(recovered->begin() + 1, recovered->begin() + 1 + kRecoverableLength);
    const auto remainder = certificate.subspan(kCertificateSignature, kPublicRemainder);
    content.insert(content.end(), remainder.begin(), remainder.end());
    const auto hash = crypto::Sha1(content);
    if (!std::equal(hash.begin(), hash.end(), recovered->begin() + 1 + kRecoverableLength)) {
        return Fail<TCertificate>(error, "recovers, but its hash does not match its content");
    }
    const TBytesView c(content);
    TCertificate out;
    out.AuthorityReference = Slice(c, 1, 8);
    out.HolderAuthorisation = Slice(c, 9, 7);
    out.EndOfValidity = Slice(c, 16, 4);
    out.HolderReference = Slice(c, 20, 8);
    out.Key.Modulus = Slice(c, 28, 128);
    out.Key.Exponent = Slice(c, 156, 8);
    // The CAR is given in clear at the end too; a certificate whose two copies
    // differ was not made as one.
    if (!std::equal(out.AuthorityReference.begin(), out.AuthorityReference.end(),
                    certificate.begin() + kCertificateSignature + kPublicRemainder)) {
        return Fail<TCertificate>(error, "names two different authorities");
    }
    return out;
}

const char* VerdictText(TVerdict verdict) {
    switch (verdict) {
    case TVerdict::Valid:
        return "valid";
    case TVerdict::Invalid:
        return "invalid";
    case TVerdict::NotSigned:
        return "not signed";
    case TVerdict::Blank:
        return "blank";
    case TVerdict::NotChecked:
        return "not checked";
    }
    return "?";
}

bool TReport::AllValid() const {
    const auto allValid = [](const std::vector<TBlock>& blocks) {
        return !blocks.empty() && std::all_of(blocks.begin(), blocks.end(), [](const TBlock& b) {
            return b.Verdict == TVerdict::Valid;
        });
    };
    return FileError.empty() && Missing.empty() && OtherCard.empty() && Chain == TChain::Valid &&
           allValid(Blocks) && (!HasG2 || (ChainG2 == TChain::Valid && allValid(BlocksG2)));
}

bool TReport::ValidAsChecked() const {
    if (AllValid()) {
        return true;
    }
    const bool g2Unchecked = HasG2 && ChainG2 == TChain::NotChecked &&
                             std::all_of(BlocksG2.begin(), BlocksG2.end(), [](const TBlock& b) {
                                 return b.Verdict == TVerdict::NotChecked;
                             });
    TReport firstPart = *this;
    firstPart.HasG2 = false;
    return g2Unchecked && firstPart.AllValid();
}

namespace {

std::string PartSummary(TChain chain, const std::string& chainText,
                        const std::vector<TBlock>& blocks) {
    const auto count = [&blocks](TVerdict verdict) {
        return std::count_if(blocks.begin(), blocks.end(),
                             [verdict](const TBlock& b) { return b.Verdict == verdict; });
    };
    std::string text;
    switch (chain) {
    case TChain::Valid:
        text = "certificate chain valid; ";
        break;
    case TChain::Invalid:
        text = "certificate chain invalid (" + chainText + "); ";
        break;
    case TChain::NotChecked:
        text = "certificate chain not checked (" + chainText + "); ";
        break;
    }
    text += std::to_string(count(TVerdict::Valid)) + " of " + std::to_string(blocks.size()) +
            " signatures valid";
    for (const TVerdict verdict :
         {TVerdict::Invalid, TVerdict::NotSigned, TVerdict::Blank, TVerdict::NotChecked}) {
        if (const auto n = count(verdict); n > 0) {
            text += ", " + std::to_string(n) + " " + VerdictText(verdict);
        }
    }
    return text;
}

} // namespace

std::string TReport::Summary() const {
    if (!FileError.empty()) {
        return "the file cannot be read: " + FileError;
    }
    std::string text = PartSummary(Chain, ChainText, Blocks);
    if (HasG2) {
        text += "; G2: " + PartSummary(ChainG2, ChainG2Text, BlocksG2);
    }
    if (!Missing.empty()) {
        text += "; " + std::to_string(Missing.size()) + " files missing or cut";
    }
    if (!OtherCard.empty()) {
        text += "; not one card";
    }
    return text;
}

TReport Verify(TBytesView file, const TRootKey* root, const TBytes* rootG2) {
    TReport report;
    std::string error;
    const auto records = ReadRecords(file, &error);
    if (!records) {
        report.FileError = error;
        return report;
    }
    if (records->empty()) {
        report.FileError = "the file holds no records";
        return report;
    }
    // A file given twice with other bytes leaves open which one the card
    // gave: a cut or altered copy beside the whole one.
    std::map<std::pair<std::uint16_t, std::uint8_t>, const TRecord*> firstOf;
    for (const TRecord& record : *records) {
        const auto [first, isNew] =
            firstOf.emplace(std::make_pair(record.Fid, record.Type), &record);
        if (!isNew && first->second->Data != record.Data) {
            const std::string name =
                FileName(record.Fid, record.Type >= kContentsG2) +
                (record.Type == kSignature || record.Type == kSignatureG2 ? " signature" : "") +
                " twice, differently";
            if (std::find(report.Missing.begin(), report.Missing.end(), name) ==
                report.Missing.end()) {
                report.Missing.push_back(name);
            }
        }
    }
    for (const TRequiredFile& file : kUnsignedFiles) {
        NoteMissing(*records, kContents, file.Fid, file.Size, report);
    }
    for (const std::uint16_t fid : kSignedFiles) {
        NoteMissing(*records, kContents, fid, 0, report);
    }
    std::optional<TCertificate> cardCertificate;
    std::optional<crypto::TRsaPublicKey> cardKey;
    if (root == nullptr) {
        report.ChainText = "no root key";
    } else if ((cardCertificate = CheckChain(*records, *root, &error))) {
        cardKey = cardCertificate->Key;
        report.Chain = TChain::Valid;
    } else {
        report.Chain = TChain::Invalid;
        report.ChainText = error;
    }

    for (std::size_t i = 0; i < records->size(); ++i) {
        const TRecord& record = (*records)[i];
        const TRecord* previous = i > 0 ? &(*records)[i - 1] : nullptr;
        const TRecord* next = i + 1 < records->size() ? &(*records)[i + 1] : nullptr;
        if (record.Type == kSignature) {
            // A signature belongs to the contents record just before it; one
            // that follows anything else signs nothing we could check.
            if (previous == nullptr || previous->Type != kContents || previous->Fid != record.Fid) {
                report.Blocks.push_back({record.Fid, TVerdict::Invalid});
            }
            continue;
        }
        if (record.Type != kContents) {
            continue;
        }
        const bool hasSignature =
            next != nullptr && next->Type == kSignature && next->Fid == record.Fid;
        if (!hasSignature) {
            if (IsSignedFile(record.Fid)) {
                report.Blocks.push_back({record.Fid, TVerdict::NotSigned});
            }
            continue;
        }
        TVerdict verdict = TVerdict::NotChecked;
        if (IsBlank(next->Data)) {
            verdict = TVerdict::Blank;
        } else if (next->Data.size() != kSignatureLength) {
            verdict = TVerdict::Invalid;
        } else if (cardKey) {
            verdict = crypto::VerifyPkcs1Sha1(*cardKey, record.Data, next->Data)
                          ? TVerdict::Valid
                          : TVerdict::Invalid;
        }
        report.Blocks.push_back({record.Fid, verdict});
    }
    VerifyG2(*records, rootG2, report,
             cardCertificate ? &cardCertificate->HolderReference : nullptr);
    if (const TRecord* g1 = FindContents(*records, 0x0520); g1 != nullptr && report.HasG2) {
        const auto g2 = std::find_if(records->begin(), records->end(), [](const TRecord& r) {
            return r.Fid == 0x0520 && r.Type == kContentsG2;
        });
        const auto number = [](const TBytes& data) {
            return std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                data.size(), kCardNumberEnd)));
        };
        if (g2 != records->end() && number(g1->Data) != number(g2->Data)) {
            report.OtherCard = "the first generation's EF Identification names card " +
                               number(g1->Data).substr(1) + ", the second generation's " +
                               number(g2->Data).substr(1);
        }
    }
    if (!report.OtherCard.empty()) {
        report.Notes.push_back("not one card: " + report.OtherCard);
    }
    if (!report.Missing.empty()) {
        std::string line = "files missing or cut:";
        for (const std::string& name : report.Missing) {
            line += " " + name + (&name == &report.Missing.back() ? "" : ",");
        }
        report.Notes.push_back(line);
    }
    return report;
}

} // namespace cardfile
