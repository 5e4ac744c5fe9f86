// The second-generation part of a card download file: CV certificates from
// the card's CardSign certificate (C1 01) through the Member State's (C1 08),
// directly or through a link certificate (C1 09), to the second generation's
// root certificate that the user names; then each signed block's ECDSA
// signature, plain r || s, with the card's key.
#include "cardfile/CardFile.h"
#include "cardfile/CvCertificate.h"

#include <algorithm>
#include <cstdio>

namespace cardfile {

namespace {

constexpr std::uint16_t kCardSignCertificate = 0xC101;
constexpr std::uint16_t kCaCertificateG2 = 0xC108;
constexpr std::uint16_t kLinkCertificate = 0xC109;
// Stored without a signature in the second-generation part.
constexpr std::uint16_t kCardDownloadG2 = 0x050E;

bool IsCertificate(std::uint16_t fid) {
    return (fid & 0xFF00) == 0xC100;
}

// The byte count a CV certificate's own header announces, or 0 when the bytes
// do not begin like one.
std::size_t CertificateSize(const TBytes& data) {
    if (data.size() < 4 || data[0] != 0x7F || data[1] != 0x21) {
        return 0;
    }
    if (data[2] < 0x80) {
        return 3 + std::size_t{data[2]};
    }
    if (data[2] == 0x81) {
        return 4 + std::size_t{data[3]};
    }
    if (data[2] == 0x82 && data.size() >= 5) {
        return 5 + (std::size_t{data[3]} << 8 | data[4]);
    }
    return 0;
}

// A certificate record holds the whole certificate; the link certificate
// may be the four zeros of a card that has none.
bool WholeCertificate(const TRecord& record, bool mayBeEmpty) {
    if (mayBeEmpty && record.Data == TBytes(4, 0)) {
        return true;
    }
    return CertificateSize(record.Data) == record.Data.size() &&
           ParseCvCertificate(record.Data, nullptr).has_value();
}

const TRecord* FindG2(const std::vector<TRecord>& records, std::uint16_t fid) {
    const auto found = std::find_if(records.begin(), records.end(), [fid](const TRecord& r) {
        return r.Fid == fid && r.Type == kContentsG2;
    });
    return found == records.end() ? nullptr : &*found;
}

// The card's certified key, or nullopt and `error`.
std::optional<TCvCertificate> CheckChainG2(const std::vector<TRecord>& records,
                                           const TCvCertificate& root, std::string* error) {
    auto parse = [&](std::uint16_t fid, const char* name) -> std::optional<TCvCertificate> {
        const TRecord* record = FindG2(records, fid);
        if (record == nullptr) {
            *error = std::string("no ") + name + " certificate";
            return std::nullopt;
        }
        std::string why;
        auto certificate = ParseCvCertificate(record->Data, &why);
        if (!certificate) {
            *error = std::string("the ") + name + " certificate is bad: " + why;
        }
        return certificate;
    };
    const auto memberState = parse(kCaCertificateG2, "Member State");
    if (!memberState) {
        return std::nullopt;
    }
    TCvCertificate authority = root;
    std::string why;
    if (memberState->AuthorityReference != root.HolderReference) {
        // A Member State certified by a newer root: the link certificate
        // certifies that root with the one the user trusts.
        const auto link = parse(kLinkCertificate, "link");
        if (!link) {
            *error = "the Member State certificate names another root and " + *error;
            return std::nullopt;
        }
        if (!CheckCvCertificate(*link, root, &why)) {
            *error = "the link certificate does not check with the root: " + why;
            return std::nullopt;
        }
        authority = *link;
    }
    if (!CheckCvCertificate(*memberState, authority, &why)) {
        *error = "the Member State certificate does not check: " + why;
        return std::nullopt;
    }
    const auto card = parse(kCardSignCertificate, "card's");
    if (!card) {
        return std::nullopt;
    }
    if (!CheckCvCertificate(*card, *memberState, &why)) {
        *error = "the card's certificate does not check: " + why;
        return std::nullopt;
    }
    return card;
}

} // namespace

void VerifyG2(const std::vector<TRecord>& records, const TBytes* rootG2, TReport& report,
              const TBytes* holderG1) {
    report.HasG2 = std::any_of(records.begin(), records.end(), [](const TRecord& r) {
        return r.Type == kContentsG2 || r.Type == kSignatureG2;
    });
    if (!report.HasG2) {
        return;
    }
    for (const std::uint16_t fid : {kCardSignCertificate, kCaCertificateG2, kLinkCertificate}) {
        const TRecord* record = FindG2(records, fid);
        if (record == nullptr || !WholeCertificate(*record, fid == kLinkCertificate)) {
            report.Missing.push_back(FileName(fid, true));
        }
    }
    NoteMissing(records, kContentsG2, kCardDownloadG2, 4, report);
    for (const std::uint16_t fid : kSignedFilesG2) {
        NoteMissing(records, kContentsG2, fid, 0, report);
    }
    // cardStructureVersion's second byte, in the signed EF Application_
    // Identification: a card of version 2 has six signed files more. Without
    // that file the version is unknown, and its absence is told already.
    const TRecord* identification = FindG2(records, 0x0501);
    if (identification != nullptr && identification->Data.size() >= 3 &&
        identification->Data[2] >= 0x01) {
        for (const std::uint16_t fid : kSignedFilesG2Version2) {
            NoteMissing(records, kContentsG2, fid, 0, report);
        }
    }
    std::optional<TCvCertificate> card;
    if (rootG2 == nullptr) {
        report.ChainG2Text = "no second-generation root certificate";
    } else {
        std::string error;
        const auto root = ParseCvCertificate(*rootG2, &error);
        if (!root) {
            report.ChainG2 = TChain::Invalid;
            report.ChainG2Text = "the root certificate is bad: " + error;
        } else if ((card = CheckChainG2(records, *root, &error))) {
            report.ChainG2 = TChain::Valid;
            // Both generations' card certificates name the card by its serial
            // number: one that names another belongs to another card.
            if (holderG1 != nullptr && card->HolderReference != *holderG1) {
                report.OtherCard = "the first generation's card certificate names " +
                                   HexText(*holderG1) + ", the second generation's " +
                                   HexText(card->HolderReference);
            }
        } else {
            report.ChainG2 = TChain::Invalid;
            report.ChainG2Text = error;
        }
        if (report.ChainG2 == TChain::Invalid) {
            report.Notes.push_back("G2 certificate chain: " + report.ChainG2Text);
        }
    }

    for (std::size_t i = 0; i < records.size(); ++i) {
        const TRecord& record = records[i];
        const TRecord* previous = i > 0 ? &records[i - 1] : nullptr;
        const TRecord* next = i + 1 < records.size() ? &records[i + 1] : nullptr;
        if (record.Type == kSignatureG2) {
            if (previous == nullptr || previous->Type != kContentsG2 ||
                previous->Fid != record.Fid) {
                report.BlocksG2.push_back({record.Fid, TVerdict::Invalid});
                report.Notes.push_back("G2 signature of " + FidText(record.Fid) +
                                       " follows no data of its file");
            }
            continue;
        }
        if (record.Type != kContentsG2) {
            continue;
        }
        const bool hasSignature =
            next != nullptr && next->Type == kSignatureG2 && next->Fid == record.Fid;
        if (!hasSignature) {
            if (!IsCertificate(record.Fid) && record.Fid != kCardDownloadG2) {
                report.BlocksG2.push_back({record.Fid, TVerdict::NotSigned});
            }
            continue;
        }
        TVerdict verdict = TVerdict::NotChecked;
        if (card) {
            const std::size_t expected = 2 * crypto::FieldLength(card->Curve);
            if (next->Data.size() != expected) {
                verdict = TVerdict::Invalid;
                report.Notes.push_back("G2 signature of " + FidText(record.Fid) + " has " +
                                       std::to_string(next->Data.size()) + " bytes where " +
                                       crypto::CurveName(card->Curve) + " gives " +
                                       std::to_string(expected));
            } else {
                verdict = crypto::VerifyEcdsa(card->Curve, card->Point,
                                              crypto::HashFor(card->Curve, record.Data), next->Data)
                              ? TVerdict::Valid
                              : TVerdict::Invalid;
            }
        }
        report.BlocksG2.push_back({record.Fid, verdict});
    }
}

} // namespace cardfile
