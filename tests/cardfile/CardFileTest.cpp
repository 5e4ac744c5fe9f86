// Reading and checking card download files: a download signed by the test card
// verifies against the test root, and each way a file, a certificate or a
// signature can be wrong gets its own verdict or a clear error.
#include "cardfile/CardFile.h"
#include "ExpectedDownload.h"
#include "cardfile/CvCertificate.h"
#include "cardfile/RootKeyFile.h"
#include "cardsim/SampleCard.h"
#include "cardsim/TestPki.h"
#include "main/DownloadPlan.h"

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
using downloadtest::AsString;
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

// A second-generation card of version 2: both parts, each signed.
struct TGen2File {
    cardsim::TCardImage Image;
    TSegments First;
    TSegments Second;
    crypto::TBytes Bytes() const {
        return AsBytes(downloadtest::Join(First) + downloadtest::Join(Second));
    }
};

TGen2File Gen2File(const std::string& cardNumber = "D100000012345600") {
    cardsim::TCardOptions options;
    options.Gen2Version = 2;
    options.CardNumber = cardNumber;
    TGen2File file{cardsim::BuildDriverCard(options), {}, {}};
    file.First = downloadtest::CompleteDownload(file.Image, &cardsim::TestPki().CardKey);
    file.Second = downloadtest::G2Part(file.Image);
    return file;
}

cardfile::TReport CheckBoth(const crypto::TBytes& bytes,
                            const crypto::TBytes& rootG2 = cardsim::TestPkiG2().RootCertificate) {
    const auto root = TestRoot();
    return cardfile::Verify(bytes, &root, &rootG2);
}

void Remove(TSegments& segments, std::uint16_t fid) {
    std::erase_if(segments, [fid](const auto& segment) { return segment.first == fid; });
}

bool Names(const cardfile::TReport& report, const std::string& name) {
    return std::find(report.Missing.begin(), report.Missing.end(), name) != report.Missing.end();
}

// Gutted files: a signed file gone with its signature, a second part cut to
// its certificates or to the first version's files, a file of certificates
// alone, one card's first part before another card's second part, and files
// with no records at all. None is valid, and what is missing is named.
TEST(CardFileTest, AGuttedFileIsNotValidAndNamesWhatIsMissing) {
    const TGen2File whole = Gen2File();
    const auto good = CheckBoth(whole.Bytes());
    EXPECT_TRUE(good.AllValid()) << good.Summary();

    TGen2File noIdentification = whole;
    Remove(noIdentification.First, 0x0520);
    auto report = CheckBoth(noIdentification.Bytes());
    EXPECT_FALSE(report.AllValid());
    EXPECT_TRUE(Names(report, "EF Identification (05 20)")) << report.Summary();
    EXPECT_EQ(report.Missing.size(), 1u);

    TGen2File certificatesOnly = whole;
    for (const std::uint16_t fid : cardfile::kSignedFilesG2) {
        Remove(certificatesOnly.Second, fid);
    }
    Remove(certificatesOnly.Second, 0x050E);
    report = CheckBoth(certificatesOnly.Bytes());
    EXPECT_FALSE(report.AllValid());
    EXPECT_TRUE(Names(report, "G2 EF Places (05 06)"));
    EXPECT_TRUE(Names(report, "G2 EF Card_Download (05 0E)"));
    EXPECT_EQ(report.ChainG2, TChain::Valid);

    // The version-2 files gone: EF Application_Identification, signed, says 2.
    TGen2File version1 = whole;
    for (const std::uint16_t fid : cardfile::kSignedFilesG2Version2) {
        Remove(version1.Second, fid);
    }
    report = CheckBoth(version1.Bytes());
    EXPECT_FALSE(report.AllValid());
    EXPECT_EQ(report.Missing.size(), cardfile::kSignedFilesG2Version2.size());
    EXPECT_TRUE(Names(report, "G2 EF Border_Crossings (05 28)"));

    TSegments certificates;
    for (const auto& segment : SignedSegments()) {
        if ((segment.first & 0xFF00) == 0xC100) {
            certificates.push_back(segment);
        }
    }
    report = CheckBoth(Bytes(certificates));
    EXPECT_EQ(report.Chain, TChain::Valid);
    EXPECT_FALSE(report.AllValid());
    EXPECT_EQ(report.Missing.size(), cardfile::kSignedFiles.size() + 2);

    // Both parts signed by the test PKI, each whole: only the card number
    // tells them apart.
    const TGen2File other = Gen2File("D100000099999900");
    report = CheckBoth(AsBytes(downloadtest::Join(whole.First) + downloadtest::Join(other.Second)));
    EXPECT_EQ(report.ChainG2, TChain::Valid);
    EXPECT_FALSE(report.AllValid());
    EXPECT_NE(report.OtherCard.find("D100000099999900"), std::string::npos) << report.OtherCard;

    // A cut copy of an unsigned file beside the whole one.
    TGen2File cutCopy = whole;
    const std::string icc = downloadtest::FileOf(cutCopy.Image, cardsim::ef::Icc);
    cutCopy.Second.emplace_back(0x0002, downloadtest::Contents(0x0002, icc.substr(0, 9)));
    report = CheckBoth(cutCopy.Bytes());
    EXPECT_FALSE(report.AllValid());
    EXPECT_TRUE(Names(report, "EF ICC (00 02) twice, differently")) << report.Summary();

    // A first-generation card's file has no second part and needs none.
    EXPECT_TRUE(CheckBoth(AsBytes(downloadtest::Join(whole.First))).AllValid());

    EXPECT_FALSE(CheckBoth({}).FileError.empty());

    // What the checker requires is what the download reads and signs.
    std::vector<std::uint16_t> planned[2];
    for (const plan::TG2File& row : plan::kG2Files) {
        if (row.Signed) {
            planned[row.Version2 ? 1 : 0].push_back(row.Fid);
        }
    }
    EXPECT_EQ(planned[0], std::vector<std::uint16_t>(cardfile::kSignedFilesG2.begin(),
                                                     cardfile::kSignedFilesG2.end()));
    std::sort(planned[1].begin(), planned[1].end());
    EXPECT_EQ(planned[1], std::vector<std::uint16_t>(cardfile::kSignedFilesG2Version2.begin(),
                                                     cardfile::kSignedFilesG2Version2.end()));
}

// The newer root reaches the Member State only through the link certificate,
// which the trusted root must have signed: a link of a key of one's own does
// not make a chain.
TEST(CardFileTest, TheLinkCertificateMustCheckWithTheRoot) {
    const auto& pki = cardsim::TestPkiG2();
    const auto newRoot = *cardfile::ParseCvCertificate(pki.NewRootCertificate, nullptr);
    const auto link = *cardfile::ParseCvCertificate(pki.LinkCertificate, nullptr);
    ASSERT_EQ(link.HolderReference, newRoot.HolderReference);
    // The Member State certified by `signer` under the name `authority`.
    const auto memberStateBy = [](const crypto::TEcPrivateKey& signer,
                                  const crypto::TBytes& authority) {
        const auto ms =
            *cardfile::ParseCvCertificate(cardsim::TestPkiG2().MemberStateCertificate, nullptr);
        const auto body =
            cardfile::CvCertificateBody(authority, ms.HolderAuthorisation, ms.Curve, ms.Point,
                                        ms.HolderReference, ms.EffectiveDate, ms.ExpirationDate);
        return cardfile::CvCertificateOf(
            body, crypto::SignEcdsa(signer, crypto::HashFor(signer.Curve, body)));
    };
    const auto withCertificates = [](const crypto::TBytes& memberState,
                                     const crypto::TBytes& link) {
        TGen2File file = Gen2File();
        downloadtest::Replace(file.Second, 0xC108,
                              downloadtest::Header(0xC108, 0x02, memberState.size()) +
                                  AsString(memberState));
        downloadtest::Replace(file.Second, 0xC109,
                              downloadtest::Header(0xC109, 0x02, link.size()) + AsString(link));
        return file.Bytes();
    };

    const auto linked =
        withCertificates(memberStateBy(pki.NewRoot, newRoot.HolderReference), pki.LinkCertificate);
    const auto report = CheckBoth(linked);
    EXPECT_TRUE(report.AllValid()) << report.Summary();
    EXPECT_TRUE(CheckBoth(linked, pki.NewRootCertificate).AllValid());

    // A forger's own "newer root" and a link to it that the root never signed.
    const std::string seed = "a forger's root";
    crypto::TBytes secret =
        crypto::HashFor(crypto::TCurve::BrainpoolP256r1, crypto::TBytes(seed.begin(), seed.end()));
    secret[0] = 0; // below the curve's order
    const auto forger = crypto::EcKeyFromSecret(crypto::TCurve::BrainpoolP256r1, secret);
    const auto linkBody = cardfile::CvCertificateBody(
        link.AuthorityReference, link.HolderAuthorisation, forger.Curve, forger.Point,
        link.HolderReference, link.EffectiveDate, link.ExpirationDate);
    const auto forgedLink = cardfile::CvCertificateOf(
        linkBody, crypto::SignEcdsa(forger, crypto::HashFor(forger.Curve, linkBody)));
    const auto forged =
        CheckBoth(withCertificates(memberStateBy(forger, newRoot.HolderReference), forgedLink));
    EXPECT_EQ(forged.ChainG2, TChain::Invalid);
    EXPECT_NE(forged.ChainG2Text.find("link certificate does not check"), std::string::npos)
        << forged.ChainG2Text;
    EXPECT_FALSE(forged.AllValid());
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
    const auto empty = run("--root " + root + " " + write("empty.ddd", {}));
    EXPECT_EQ(empty.first, 2) << empty.second;
    TSegments segments = SignedSegments();
    segments.pop_back(); // EF Driver_Activity_Data and its signature
    const auto gutted = run("--root " + root + " " + write("gutted.ddd", Bytes(segments)));
    EXPECT_EQ(gutted.first, 1) << gutted.second;
    EXPECT_NE(gutted.second.find("EF Driver_Activity_Data (05 04)"), std::string::npos)
        << gutted.second;
    EXPECT_EQ(run("--version").first, 0);
}

} // namespace
