#include "DownloadFileCheck.h"

#include "cardsim/CardImage.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace {

constexpr std::array<cardsim::TFileRef, 16> kFiles = {
    cardsim::ef::Icc,
    cardsim::ef::Ic,
    cardsim::ef::ApplicationIdentification,
    cardsim::ef::CardCertificate,
    cardsim::ef::CaCertificate,
    cardsim::ef::Identification,
    cardsim::ef::CardDownload,
    cardsim::ef::DrivingLicenceInfo,
    cardsim::ef::CurrentUsage,
    cardsim::ef::ControlActivityData,
    cardsim::ef::SpecificConditions,
    cardsim::ef::EventsData,
    cardsim::ef::FaultsData,
    cardsim::ef::VehiclesUsed,
    cardsim::ef::Places,
    cardsim::ef::DriverActivityData,
};
constexpr std::size_t kHeader = 5;
constexpr std::size_t kSignatureLength = 128;
// Backtracking over possible short contents is bounded; past this many steps
// the answer is Undecided rather than a hang.
constexpr int kStepBudget = 20000;

int IndexOf(std::uint16_t fid) {
    for (std::size_t i = 0; i < kFiles.size(); ++i) {
        if (kFiles[i].Fid == fid) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

class TWalk {
public:
    TWalk(const std::string& file, bool allowShort) : File(file), AllowShort(allowShort) {}

    TDownloadFileCheck::TVerdict Run(std::uint32_t* whole) {
        const bool readable = From(0, -1, 0, 0, 0);
        if (Budget < 0) {
            return TDownloadFileCheck::Undecided;
        }
        if (readable) {
            *whole = Whole;
        }
        return readable ? TDownloadFileCheck::Readable : TDownloadFileCheck::Unreadable;
    }

private:
    std::uint8_t At(std::size_t i) const { return static_cast<std::uint8_t>(File[i]); }

    bool SignatureHeaderAt(std::size_t at, std::uint16_t fid) const {
        return File.size() - at >= kHeader && At(at) == (fid >> 8) && At(at + 1) == (fid & 0xFF) &&
               At(at + 2) == 0x01 && At(at + 3) == 0x00 && At(at + 4) == kSignatureLength;
    }

    // Whether the records from `at` to the end read; `previous` is the index of
    // the file whose contents came just before, or -1.
    bool From(std::size_t at, int previous, std::uint32_t contents, std::uint32_t signatures,
              std::uint32_t whole) {
        if (--Budget < 0) {
            return false;
        }
        if (at == File.size()) {
            Whole = whole;
            return true;
        }
        if (File.size() - at < kHeader) {
            return false;
        }
        const auto fid = static_cast<std::uint16_t>(At(at) << 8 | At(at + 1));
        const std::uint8_t type = At(at + 2);
        const std::size_t length = static_cast<std::size_t>(At(at + 3)) << 8 | At(at + 4);
        if (type == 0x02 || type == 0x03) {
            // The second generation's part, which an answer script may reach
            // by accepting its probe: records framed by their length; only the
            // last may be cut, and then the download is not whole.
            if (File.size() - (at + kHeader) >= length) {
                return From(at + kHeader + length, -1, contents, signatures, whole);
            }
            if (AllowShort) {
                Whole = whole;
                return true;
            }
            return false;
        }
        const int index = IndexOf(fid);
        if (index < 0) {
            return false;
        }
        const std::uint32_t bit = 1u << index;
        const std::size_t body = at + kHeader;
        const std::size_t remaining = File.size() - body;
        if (type == 0x01) {
            if (length != kSignatureLength || previous != index || (signatures & bit) != 0 ||
                remaining < length) {
                return false;
            }
            // 128 blanks, or the 128 bytes the card answered as its signature.
            return From(body + length, -1, contents, signatures | bit, whole);
        }
        if (type != 0x00 || (contents & bit) != 0) {
            return false;
        }
        if (remaining >= length &&
            From(body + length, index, contents | bit, signatures, whole | bit)) {
            return true;
        }
        if (!AllowShort) {
            return false;
        }
        const std::size_t end = body + std::min(length, remaining);
        for (std::size_t cut = body; cut < end && Budget >= 0; ++cut) {
            if (SignatureHeaderAt(cut, fid) &&
                From(cut, index, contents | bit, signatures, whole)) {
                return true;
            }
        }
        return false;
    }

    const std::string& File;
    const bool AllowShort;
    int Budget = kStepBudget;
    std::uint32_t Whole = 0;
};

} // namespace

TDownloadFileCheck CheckDownloadFile(const std::string& file) {
    TDownloadFileCheck check;
    check.Strict = TWalk(file, false).Run(&check.WholeContents);
    if (check.Strict != TDownloadFileCheck::Readable) {
        std::uint32_t ignored = 0;
        check.WithShortContents = TWalk(file, true).Run(&ignored);
    } else {
        check.WithShortContents = TDownloadFileCheck::Readable;
    }
    return check;
}

int KnownFidCount() {
    return static_cast<int>(kFiles.size());
}
