// The verifier's reading of a card download file, with the test root as the
// trusted key so that inputs reach the certificates and the signatures: any
// bytes give a report or an error text, never a crash, and the report never
// calls a file valid that it could not read or whose chain did not check.
#include "FuzzCheck.h"
#include "cardfile/CardFile.h"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>

namespace {

const cardfile::TRootKey* TestRoot() {
    static const auto root = [] {
        std::ifstream in(DRAVIK_TEST_ROOT_KEY_PATH, std::ios::binary);
        const crypto::TBytes bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        return cardfile::ReadRootKey(bytes, nullptr);
    }();
    FUZZ_CHECK(root.has_value());
    return &*root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const cardfile::TBytesView file(data, size);
    std::string error;
    const auto records = cardfile::ReadRecords(file, &error);
    FUZZ_CHECK(records.has_value() == error.empty());
    if (records) {
        std::size_t total = 0;
        for (const auto& record : *records) {
            total += cardfile::kRecordHeader + record.Data.size();
        }
        FUZZ_CHECK(total == size);
    }
    const cardfile::TReport report = cardfile::Verify(file, TestRoot());
    FUZZ_CHECK(report.FileError.empty() == (records.has_value() && !records->empty()));
    if (report.AllValid()) {
        FUZZ_CHECK(report.Chain == cardfile::TChain::Valid && !report.Blocks.empty());
    }
    if (report.Chain != cardfile::TChain::Valid) {
        for (const auto& block : report.Blocks) {
            FUZZ_CHECK(block.Verdict != cardfile::TVerdict::Valid);
        }
    }
    FUZZ_CHECK(!report.Summary().empty());
    // The certificates alone, whatever their length.
    (void)cardfile::RecoverCertificate(file.subspan(0, std::min<std::size_t>(size, 194)),
                                       TestRoot()->Key, &error);
    return 0;
}
