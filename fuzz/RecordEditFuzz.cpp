// The checker against gutted files: the input is a list of edits (delete,
// duplicate, move or cut a record) applied to the signed sample card's whole
// download, of the first generation or of a second-generation card of
// version 2. A file made so is valid only if it holds the same records as the
// original, whatever their order and however often each appears. A file left
// without any record of the second generation is a first-generation download
// and is held to the original's first part.
#include "ExpectedDownload.h"
#include "FuzzCheck.h"
#include "cardfile/CardFile.h"
#include "cardsim/SampleCard.h"
#include "cardsim/TestPki.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

namespace {

using TRecordKey = std::tuple<std::uint16_t, std::uint8_t, crypto::TBytes>;

struct TBase {
    std::vector<cardfile::TRecord> Records;
    std::set<TRecordKey> All;
    std::set<TRecordKey> FirstPart;
};

TBase BaseOf(const std::string& file) {
    TBase base;
    base.Records = *cardfile::ReadRecords(downloadtest::AsBytes(file), nullptr);
    for (const auto& record : base.Records) {
        base.All.emplace(record.Fid, record.Type, record.Data);
        if (record.Type == cardfile::kContents || record.Type == cardfile::kSignature) {
            base.FirstPart.emplace(record.Fid, record.Type, record.Data);
        }
    }
    return base;
}

const TBase& Base(bool secondGeneration) {
    static const TBase first = [] {
        const auto image = cardsim::BuildDriverCard();
        return BaseOf(
            downloadtest::Join(downloadtest::CompleteDownload(image, &cardsim::TestPki().CardKey)));
    }();
    static const TBase second = [] {
        cardsim::TCardOptions options;
        options.Gen2Version = 2;
        const auto image = cardsim::BuildDriverCard(options);
        return BaseOf(
            downloadtest::Join(downloadtest::CompleteDownload(image, &cardsim::TestPki().CardKey)) +
            downloadtest::Join(downloadtest::G2Part(image)));
    }();
    return secondGeneration ? second : first;
}

const cardfile::TRootKey& Root() {
    static const auto root = cardfile::ReadRootKey(cardsim::TestPki().RootKeyFile, nullptr);
    FUZZ_CHECK(root.has_value());
    return *root;
}

constexpr std::size_t kMaxEdits = 24;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const TBase& base = Base((data[0] & 1) != 0);
    std::vector<cardfile::TRecord> records = base.Records;
    for (std::size_t at = 1; at + 3 <= size && at < 1 + 3 * kMaxEdits && !records.empty();
         at += 3) {
        const std::size_t n = records.size();
        const std::size_t which = data[at + 1] % n;
        switch (data[at] % 4) {
        case 0:
            records.erase(records.begin() + static_cast<std::ptrdiff_t>(which));
            break;
        case 1:
            records.insert(records.begin() + static_cast<std::ptrdiff_t>(data[at + 2] % (n + 1)),
                           cardfile::TRecord(records[which]));
            break;
        case 2: {
            const cardfile::TRecord moved = records[which];
            records.erase(records.begin() + static_cast<std::ptrdiff_t>(which));
            records.insert(records.begin() + static_cast<std::ptrdiff_t>(data[at + 2] % n), moved);
            break;
        }
        default: {
            // Cut to a share of its length: always shorter, possibly empty.
            auto& cut = records[which].Data;
            cut.resize(cut.size() * data[at + 2] / 256);
            break;
        }
        }
    }

    std::string file;
    std::set<TRecordKey> present;
    bool hasSecondPart = false;
    for (const auto& record : records) {
        file += downloadtest::Header(record.Fid, record.Type, record.Data.size()) +
                downloadtest::AsString(record.Data);
        present.emplace(record.Fid, record.Type, record.Data);
        hasSecondPart = hasSecondPart || record.Type == cardfile::kContentsG2 ||
                        record.Type == cardfile::kSignatureG2;
    }
    const crypto::TBytes rootG2 = cardsim::TestPkiG2().RootCertificate;
    const cardfile::TReport report =
        cardfile::Verify(downloadtest::AsBytes(file), &Root(), &rootG2);
    if (report.AllValid()) {
        FUZZ_CHECK(present == (hasSecondPart ? base.All : base.FirstPart));
    }
    return 0;
}
