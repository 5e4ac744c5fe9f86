// Reading and checking card download files: a download signed by the test card
// verifies against the test root, and each way a file, a certificate or a
// signature can be wrong gets its own verdict or a clear error.
#include "cardfile/CardFile.h"
#include "ExpectedDownload.h"
#include "cardsim/SampleCard.h"
#include "cardsim/TestPki.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#ifdef _WIN32
// std::system gives the program's exit code itself.
int ExitCodeOf(int status) {
    return status;
}
#else
#include <sys/wait.h>
int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

namespace {

using cardfile::TChain;
using cardfile::TVerdict;
using downloadtest::AsBytes;
using downloadtest::TSegments;

const cardsim::TCardImage& Card() {
    static const cardsim::TCardImage image = cardsim::BuildDriverCard();
    return image;
}

cardfile::TRootKey TestRoot() {
    std::string error;
    auto root = cardfile::ReadRootKey(cardsim::TestPki().RootKeyFile, &error);
    EXPECT_TRUE(root) << error;
    return *root;
}

TSegments SignedSegments() {
    return downloadtest::CompleteDownload(Card(), &cardsim::TestPki().CardKey);
}

crypto::TBytes Bytes(const TSegments& segments) {
    return AsBytes(downloadtest::Join(segments));
}

std::vector<std::uint16_t> FidsWith(const cardfile::TReport& report, TVerdict verdict) {
    std::vector<std::uint16_t> fids;
    for (const auto& block : report.Blocks) {
        if (block.Verdict == verdict) {
            fids.push_back(block.Fid);
        }
    }
    return fids;
}

TEST(CardFileTest, SignedDownloadVerifiesWithTheTestRoot) {
    const auto root = TestRoot();
    const auto report = cardfile::Verify(Bytes(SignedSegments()), &root);
    EXPECT_EQ(report.Chain, TChain::Valid) << report.ChainText;
    ASSERT_EQ(report.Blocks.size(), 12u);
    EXPECT_TRUE(report.AllValid()) << report.Summary();
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(report.Blocks[i].Fid, cardfile::kSignedFiles[i]);
    }
}

TEST(CardFileTest, OneFlippedByteMakesExactlyThatBlockInvalid) {
    const auto root = TestRoot();
    const crypto::TBytes good = Bytes(SignedSegments());
    const auto records = cardfile::ReadRecords(good, nullptr);
    ASSERT_TRUE(records);
    for (const auto& record : *records) {
        if (record.Type != cardfile::kContents || !cardfile::IsSignedFile(record.Fid) ||
            record.Data.empty()) {
            continue;
        }
        crypto::TBytes bad = good;
        bad[record.Offset + cardfile::kRecordHeader + record.Data.size() / 2] ^= 0x01;
        const auto report = cardfile::Verify(bad, &root);
        EXPECT_EQ(report.Chain, TChain::Valid);
        EXPECT_EQ(FidsWith(report, TVerdict::Invalid), std::vector<std::uint16_t>{record.Fid});
        EXPECT_EQ(FidsWith(report, TVerdict::Valid).size(), 11u);
        EXPECT_FALSE(report.AllValid());
    }
}

TEST(CardFileTest, BrokenChainLeavesEverySignatureUnchecked) {
    const auto root = TestRoot();
    const crypto::TBytes good = Bytes(SignedSegments());
    const auto records = *cardfile::ReadRecords(good, nullptr);
    for (const std::uint16_t certificate :
         {cardfile::kMemberStateCertificate, cardfile::kCardCertificate}) {
        for (const std::size_t at : {std::size_t{5}, std::size_t{150}, std::size_t{190}}) {
            crypto::TBytes bad = good;
            for (const auto& record : records) {
                if (record.Fid == certificate) {
                    bad[record.Offset + cardfile::kRecordHeader + at] ^= 0x40;
                }
            }
            const auto report = cardfile::Verify(bad, &root);
            EXPECT_EQ(report.Chain, TChain::Invalid) << std::hex << certificate << " " << at;
            EXPECT_EQ(FidsWith(report, TVerdict::NotChecked).size(), 12u);
            EXPECT_FALSE(report.AllValid());
        }
    }
    // Another root: the Member State certificate does not recover.
    cardfile::TRootKey other = root;
    other.Key.Modulus[100] ^= 0x01;
    EXPECT_EQ(cardfile::Verify(good, &other).Chain, TChain::Invalid);
    // The right key under another identifier: the CAR does not match.
    other = root;
    other.KeyIdentifier[0] ^= 0x01;
    const auto renamed = cardfile::Verify(good, &other);
    EXPECT_EQ(renamed.Chain, TChain::Invalid);
    EXPECT_NE(renamed.ChainText.find("names the authority"), std::string::npos);
    // No root at all: nothing checked, and never "valid".
    const auto unchecked = cardfile::Verify(good, nullptr);
    EXPECT_EQ(unchecked.Chain, TChain::NotChecked);
    EXPECT_FALSE(unchecked.AllValid());
}

TEST(CardFileTest, BlankMissingAndMisfitSignaturesAreToldApart) {
    const auto root = TestRoot();
    // A card that does not sign: blanks where the layout has a record, none
    // for Card_Download and current usage.
    const auto unsigned_ =
        cardfile::Verify(Bytes(downloadtest::CompleteDownload(Card(), nullptr)), &root);
    EXPECT_EQ(unsigned_.Chain, TChain::Valid);
    EXPECT_EQ(FidsWith(unsigned_, TVerdict::Blank).size(), 10u);
    EXPECT_EQ(FidsWith(unsigned_, TVerdict::NotSigned),
              (std::vector<std::uint16_t>{0x050E, 0x0507}));
    EXPECT_FALSE(unsigned_.AllValid());

    // Signatures of 127 and 129 bytes (the record's length says so) and one
    // after another file's contents.
    for (const std::size_t length : {std::size_t{127}, std::size_t{129}}) {
        TSegments segments = SignedSegments();
        const std::string data = downloadtest::FileOf(Card(), cardsim::ef::Identification);
        std::string signature = downloadtest::AsString(
            crypto::SignPkcs1Sha1(cardsim::TestPki().CardKey, AsBytes(data)));
        signature.resize(length, '\x01');
        downloadtest::Replace(segments, 0x0520,
                              downloadtest::Contents(0x0520, data) +
                                  downloadtest::Header(0x0520, 0x01, length) + signature);
        const auto report = cardfile::Verify(Bytes(segments), &root);
        EXPECT_EQ(FidsWith(report, TVerdict::Invalid), std::vector<std::uint16_t>{0x0520});
    }
    TSegments moved = SignedSegments();
    std::swap(moved[3], moved[5]); // 05 20 before the certificates
    const auto report = cardfile::Verify(Bytes(moved), &root);
    EXPECT_TRUE(report.AllValid()) << "files in another order keep their signatures";
}

TEST(CardFileTest, MalformedInputGetsAnErrorNotACrash) {
    const auto root = TestRoot();
    const crypto::TBytes good = Bytes(SignedSegments());
    // Cut everywhere inside the first records and at the very end.
    for (std::size_t cut = 1; cut < 300; cut += 7) {
        const crypto::TBytes truncated(good.begin(), good.end() - static_cast<std::ptrdiff_t>(cut));
        const auto report = cardfile::Verify(truncated, &root);
        EXPECT_FALSE(report.AllValid());
    }
    const crypto::TBytes header(good.begin(), good.begin() + 3);
    EXPECT_NE(cardfile::Verify(header, &root).FileError.find("inside a record header"),
              std::string::npos);
    crypto::TBytes longRecord = good;
    longRecord[3] = 0xFF; // EF ICC announces 65,280 and more bytes
    const auto report = cardfile::Verify(longRecord, &root);
    EXPECT_NE(report.FileError.find("announces"), std::string::npos) << report.FileError;
    EXPECT_FALSE(report.AllValid());

    std::string error;
    crypto::TBytes rootFile = cardsim::TestPki().RootKeyFile;
    rootFile.push_back(0);
    EXPECT_FALSE(cardfile::ReadRootKey(rootFile, &error));
    EXPECT_NE(error.find("144"), std::string::npos);
    EXPECT_FALSE(cardfile::RecoverCertificate(crypto::TBytes(193, 0x6A), root.Key, &error));
    EXPECT_FALSE(cardfile::RecoverCertificate(crypto::TBytes(194, 0xFF), root.Key, &error));
    // A modulus of zeros: no recovery, no exception.
    cardfile::TRootKey zero = root;
    std::fill(zero.Key.Modulus.begin(), zero.Key.Modulus.end(), 0);
    EXPECT_EQ(cardfile::Verify(good, &zero).Chain, TChain::Invalid);
}

// dravik-verify as a user runs it: exit 0 only when all is valid, 1 when a
// signature is not, 2 for a file or root key it cannot use.
TEST(CardFileTest, VerifyToolExitStatusAndLines) {
    const std::string dir = ::testing::TempDir();
    const auto write = [&dir](const std::string& name, const crypto::TBytes& bytes) {
        std::ofstream(dir + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return dir + name;
    };
    const crypto::TBytes good = Bytes(SignedSegments());
    crypto::TBytes flipped = good;
    flipped[good.size() - 200] ^= 0x01; // inside EF Driver_Activity_Data
    const crypto::TBytes& rootFile = cardsim::TestPki().RootKeyFile;
    const std::string root = write("root.bin", rootFile);
    const std::string output = dir + "verify.out";
    const auto run = [&](const std::string& arguments) {
        std::string command = std::string("\"") + DRAVIK_VERIFY_PATH + "\" " + arguments + " > \"" +
                              output + "\" 2>&1";
#ifdef _WIN32
        // cmd /c drops the first and the last quote of its line: a pair
        // around the whole keeps the program's own quotes.
        command = "\"" + command + "\"";
#endif
        const int status = std::system(command.c_str());
        std::ifstream in(output);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        return std::make_pair(ExitCodeOf(status), text);
    };
    const auto valid = run("--root " + root + " " + write("signed.ddd", good));
    EXPECT_EQ(valid.first, 0) << valid.second;
    EXPECT_NE(valid.second.find("05 04: valid"), std::string::npos) << valid.second;
    EXPECT_NE(valid.second.find("chain: valid"), std::string::npos);
    const auto invalid = run("--root=" + root + " " + write("flipped.ddd", flipped));
    EXPECT_EQ(invalid.first, 1);
    EXPECT_NE(invalid.second.find("05 04: invalid"), std::string::npos) << invalid.second;
    const auto blanks =
        run("--root " + root + " " +
            write("unsigned.ddd", Bytes(downloadtest::CompleteDownload(Card(), nullptr))));
    EXPECT_EQ(blanks.first, 1);
    EXPECT_NE(blanks.second.find("05 0E: not signed"), std::string::npos) << blanks.second;
    EXPECT_NE(blanks.second.find("05 20: blank"), std::string::npos);
    const auto truncated =
        run("--root " + root + " " +
            write("truncated.ddd", crypto::TBytes(good.begin(), good.end() - 1)));
    EXPECT_EQ(truncated.first, 2);
    EXPECT_NE(truncated.second.find("announces"), std::string::npos) << truncated.second;
    const auto shortRoot =
        run("--root " + write("short.bin", crypto::TBytes(rootFile.begin(), rootFile.end() - 1)) +
            " " + dir + "signed.ddd");
    EXPECT_EQ(shortRoot.first, 2);
    EXPECT_NE(shortRoot.second.find("144"), std::string::npos) << shortRoot.second;
    EXPECT_EQ(run("--frobnicate " + dir + "signed.ddd").first, 2);
    EXPECT_EQ(run("--version").first, 0);
}

} // namespace
