// Reading a first-generation card download file and checking its signatures:
// the records, the root key file, the certificate chain C1 08 / C1 00, and a
// verdict for every signed block. Plain C++ on bytes: the window, the command
// line tools and the tests use it alike. Bad input is an error text, never a
// crash or an exception.
#pragma once

#include "crypto/Crypto.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cardfile {

using crypto::TBytes;
using crypto::TBytesView;

// A file identifier as four hex digits, as the log and the verdicts name files.
std::string FidText(std::uint16_t fid);
// Bytes as upper-case hex without separators.
std::string HexText(TBytesView bytes);

inline constexpr std::uint8_t kContents = 0x00;
inline constexpr std::uint8_t kSignature = 0x01;
inline constexpr std::uint8_t kContentsG2 = 0x02;
inline constexpr std::uint8_t kSignatureG2 = 0x03;
inline constexpr std::size_t kRecordHeader = 5;
inline constexpr std::size_t kSignatureLength = 128;
inline constexpr std::size_t kCertificateLength = 194;
inline constexpr std::size_t kRootKeyLength = 144;
inline constexpr std::uint16_t kCardCertificate = 0xC100;
inline constexpr std::uint16_t kMemberStateCertificate = 0xC108;

// The files a first-generation driver card signs for a download, in the
// order the download reads them.
inline constexpr std::array<std::uint16_t, 12> kSignedFiles = {
    0x0501, 0x0520, 0x050E, 0x0521, 0x0507, 0x0508, 0x0522, 0x0502, 0x0503, 0x0505, 0x0506, 0x0504};
bool IsSignedFile(std::uint16_t fid);

// The files a second-generation driver card signs for a download: every
// structure version's, then those only a card of version 2 has. The download
// plan (main/DownloadPlan.h) reads the same files.
inline constexpr std::array<std::uint16_t, 13> kSignedFilesG2 = {
    0x0501, 0x0520, 0x0521, 0x0502, 0x0503, 0x0504, 0x0505,
    0x0506, 0x0507, 0x0508, 0x0522, 0x0523, 0x0524};
inline constexpr std::array<std::uint16_t, 6> kSignedFilesG2Version2 = {0x0525, 0x0526, 0x0527,
                                                                        0x0528, 0x0529, 0x0530};
// "EF Identification (05 20)"; a file of no known name is its identifier.
std::string FileName(std::uint16_t fid, bool g2);

// One record of the file: FID (2), type (1), length (2, big-endian), data.
struct TRecord {
    std::uint16_t Fid = 0;
    std::uint8_t Type = 0;
    std::size_t Offset = 0; // of the header in the file
    TBytes Data;
};

// The records in file order; nullopt and `error` for a file that ends inside
// a header or whose record length runs past the end.
std::optional<std::vector<TRecord>> ReadRecords(TBytesView file, std::string* error);

// EF C1 00 or C1 08 recovered: the certified key and the references of the
// certificate (CAR, the authority that signed it; CHR, the key it certifies).
struct TCertificate {
    TBytes AuthorityReference;  // CAR, 8 bytes
    TBytes HolderReference;     // CHR, 8 bytes
    TBytes HolderAuthorisation; // CHA, 7 bytes
    TBytes EndOfValidity;       // EOV, 4 bytes
    crypto::TRsaPublicKey Key;
};

// The European root key, as the 144-byte file EC_PK.bin holds it: key
// identifier (8), modulus (128), exponent (8).
struct TRootKey {
    TBytes KeyIdentifier;
    crypto::TRsaPublicKey Key;
};
std::optional<TRootKey> ReadRootKey(TBytesView file, std::string* error);

// ISO/IEC 9796-2 recovery of a 194-byte certificate with the key of the
// authority that signed it; nullopt and `error` when it does not recover.
std::optional<TCertificate> RecoverCertificate(TBytesView certificate,
                                               const crypto::TRsaPublicKey& authority,
                                               std::string* error);

enum class TVerdict { Valid, Invalid, NotSigned, Blank, NotChecked };
const char* VerdictText(TVerdict verdict);

struct TBlock {
    std::uint16_t Fid = 0;
    TVerdict Verdict = TVerdict::NotChecked;
};

enum class TChain { Valid, Invalid, NotChecked };

struct TReport {
    // Empty when the file could be read; else why not, and nothing else holds.
    std::string FileError;
    TChain Chain = TChain::NotChecked;
    std::string ChainText; // why the chain is not valid, or empty
    std::vector<TBlock> Blocks;
    // The second-generation part (records of types 02 and 03), when the file
    // has one: its own chain, up to the second generation's root, and blocks.
    bool HasG2 = false;
    TChain ChainG2 = TChain::NotChecked;
    std::string ChainG2Text;
    std::vector<TBlock> BlocksG2;
    // One clear line per bad certificate or signature of an unexpected length.
    std::vector<std::string> Notes;
    // The files a whole download holds that this file lacks (or holds cut),
    // by name: "EF Places (05 06)", "G2 EF Places (05 06)"; and any file it
    // holds twice with other bytes ("EF ICC (00 02) twice, differently").
    std::vector<std::string> Missing;
    // Why the two parts or the certificates are not of one card; empty when
    // they are.
    std::string OtherCard;
    // The chain and every block valid, every file a download holds there,
    // and one card throughout; with a second part, the same of it too.
    bool AllValid() const;
    // Nothing was found wrong: every part that was checked is valid, and the
    // only thing short of AllValid is a second part left unchecked (no
    // second-generation root). False too when the first part was not checked.
    bool ValidAsChecked() const;
    // "12 of 12 signatures valid", "the certificate chain does not verify: ..."
    std::string Summary() const;
};

// Checks a whole card download file. Without a root key the chain and the
// signatures stay unchecked, but blank and missing signatures are still told.
// `rootG2` is the second generation's root certificate (a CV certificate
// whose key is trusted as it is); without it that part stays unchecked.
TReport Verify(TBytesView file, const TRootKey* root, const TBytes* rootG2 = nullptr);

// The second-generation part of `records` into `report` (CardFileG2.cpp).
// `holderG1` is the first generation's card certificate's holder reference
// when its chain checked: the card's serial number, which the second
// generation's card certificate names too.
void VerifyG2(const std::vector<TRecord>& records, const TBytes* rootG2, TReport& report,
              const TBytes* holderG1 = nullptr);
// Adds FileName(fid) to report.Missing unless `records` hold a record of
// `type` of that file (of `size` bytes, unless 0).
void NoteMissing(const std::vector<TRecord>& records, std::uint8_t type, std::uint16_t fid,
                 std::size_t size, TReport& report);

} // namespace cardfile
