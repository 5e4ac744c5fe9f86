#include "cardfile/CardFile.h"

#include <algorithm>
#include <cstdio>

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

// The card's key from C1 08 and C1 00, or why the chain breaks.
std::optional<crypto::TRsaPublicKey> CheckChain(const std::vector<TRecord>& records,
                                                const TRootKey& root, std::string* error) {
    const TRecord* memberState = FindContents(records, kMemberStateCertificate);
    const TRecord* card = FindContents(records, kCardCertificate);
    if (memberState == nullptr || card == nullptr) {
        return Fail<crypto::TRsaPublicKey>(error, std::string("the file has no ") +
                                                      (memberState == nullptr
                                                           ? "Member State certificate (C1 08)"
                                                           : "card certificate (C1 00)"));
    }
    std::string why;
    const auto msCertificate = RecoverCertificate(memberState->Data, root.Key, &why);
    if (!msCertificate) {
        return Fail<crypto::TRsaPublicKey>(error, "the Member State certificate (C1 08) " + why);
    }
    if (msCertificate->AuthorityReference != root.KeyIdentifier) {
        return Fail<crypto::TRsaPublicKey>(
            error, "the Member State certificate (C1 08) names the authority " +
                       HexText(msCertificate->AuthorityReference) + ", the root key is " +
                       HexText(root.KeyIdentifier));
    }
    const auto cardCertificate = RecoverCertificate(card->Data, msCertificate->Key, &why);
    if (!cardCertificate) {
        return Fail<crypto::TRsaPublicKey>(error, "the card certificate (C1 00) " + why);
    }
    if (cardCertificate->AuthorityReference != msCertificate->HolderReference) {
        return Fail<crypto::TRsaPublicKey>(error,
                                           "the card certificate (C1 00) names the authority " +
                                               HexText(cardCertificate->AuthorityReference) +
                                               ", the Member State certificate certifies " +
                                               HexText(msCertificate->HolderReference));
    }
    return cardCertificate->Key;
}

} // namespace

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
    return FileError.empty() && Chain == TChain::Valid && allValid(Blocks) &&
           (!HasG2 || (ChainG2 == TChain::Valid && allValid(BlocksG2)));
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
    std::optional<crypto::TRsaPublicKey> cardKey;
    if (root == nullptr) {
        report.ChainText = "no root key";
    } else if ((cardKey = CheckChain(*records, *root, &error))) {
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
    VerifyG2(*records, rootG2, report);
    return report;
}

} // namespace cardfile
