// dravik-test-pki DIR: generates a test root, a test Member State and a test
// driver card key (RSA-1024, e = 65537), certifies the two lower keys as the
// European chain does (ISO/IEC 9796-2, partial recovery, SHA-1), and writes
// them into DIR. Every name says "test": nothing here is trusted by Dravik
// unless a user names the test root as the root key.
#include "cardfile/CardFile.h"
#include "cardsim/TestPki.h"
#include "crypto/Crypto.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

using crypto::TBytes;

const TBytes kRootKeyId = {0xFD, 'T', 'S', 'T', 0x01, 0xFF, 0xFF, 0x01};
const TBytes kMemberStateChr = {0x19, 'T', 'S', 'T', 0x01, 0xFF, 0xFF, 0x01};
// Extended serial number of the card: serial (4), month and year (BCD), type
// (driver card), manufacturer.
const TBytes kCardChr = {0x00, 0x12, 0x34, 0x56, 0x01, 0x20, 0x01, 0xFF};
const TBytes kMemberStateCha = {0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F, 0x00};
const TBytes kCardCha = {0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F, 0x01};
const TBytes kNoEndOfValidity = {0xFF, 0xFF, 0xFF, 0xFF};
const TBytes kCardEndOfValidity = {0x67, 0x74, 0x41, 0x00}; // 2024-12-31

TBytes Padded(const TBytes& value, std::size_t length) {
    TBytes out(length > value.size() ? length - value.size() : 0, 0);
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

void Append(TBytes& out, const TBytes& part) {
    out.insert(out.end(), part.begin(), part.end());
}

// The 194 bytes of EF C1 08 / C1 00: the authority's signature with the first
// 106 content bytes recovered from it, the remaining 58 in clear, the CAR.
TBytes Certify(const crypto::TRsaPrivateKey& authority, const TBytes& car, const TBytes& cha,
               const TBytes& eov, const TBytes& chr, const crypto::TRsaPublicKey& key) {
    TBytes content{0x01}; // certificate profile identifier
    Append(content, car);
    Append(content, cha);
    Append(content, eov);
    Append(content, chr);
    Append(content, Padded(key.Modulus, 128));
    Append(content, Padded(key.Exponent, 8));
    const auto hash = crypto::Sha1(content);
    TBytes framed{0x6A};
    framed.insert(framed.end(), content.begin(), content.begin() + 106);
    framed.insert(framed.end(), hash.begin(), hash.end());
    framed.push_back(0xBC);
    TBytes certificate = crypto::RsaPrivateRaw(authority, framed);
    certificate.insert(certificate.end(), content.begin() + 106, content.end());
    Append(certificate, car);
    return certificate;
}

void Write(const std::string& path, const TBytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

// The private key as "name HEX" lines, the form the simulated card reads.
void WriteKey(const std::string& path, const crypto::TRsaPrivateKey& key) {
    std::ofstream out(path);
    out << "# TEST KEY of Dravik's test PKI. Never use it for anything real.\n"
        << "n " << cardfile::HexText(key.Modulus) << "\ne " << cardfile::HexText(key.PublicExponent)
        << "\nd " << cardfile::HexText(key.PrivateExponent) << "\np "
        << cardfile::HexText(key.PrimeP) << "\nq " << cardfile::HexText(key.PrimeQ) << "\nu "
        << cardfile::HexText(key.Coefficient) << '\n';
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    // The second generation's PKI comes from fixed seeds (cardsim/TestPki.cpp):
    // what is written is the same every time, and the simulated card signs
    // with the very keys its certificates hold.
    if (argc == 3 && std::string(argv[1]) == "--g2") {
        const std::string dir = argv[2];
        try {
            const cardsim::TTestPkiG2& pki = cardsim::TestPkiG2();
            Write(dir + "/test-root-g2-certificate.bin", pki.RootCertificate);
            Write(dir + "/test-new-root-g2-certificate.bin", pki.NewRootCertificate);
        } catch (const std::exception& error) {
            std::cerr << "dravik-test-pki: " << error.what() << '\n';
            return 1;
        }
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "dravik-test-pki " << DRAVIK_VERSION << '\n';
        return 0;
    }
    if (argc != 2 || std::string(argv[1]).rfind("-", 0) == 0) {
        std::cerr << "Usage: dravik-test-pki DIR\n"
                     "       dravik-test-pki --g2 DIR\n"
                     "Writes a new test PKI (root, Member State, card) into DIR; with --g2,\n"
                     "the second generation's root certificates of the fixed test PKI.\n";
        return argc == 2 && std::string(argv[1]) == "--help" ? 0 : 2;
    }
    const std::string dir = argv[1];
    try {
        const auto root = crypto::GenerateRsaKey(1024, 65537);
        const auto memberState = crypto::GenerateRsaKey(1024, 65537);
        const auto card = crypto::GenerateRsaKey(1024, 65537);

        TBytes rootFile = kRootKeyId;
        Append(rootFile, Padded(root.Modulus, 128));
        Append(rootFile, Padded(root.PublicExponent, 8));
        Write(dir + "/test-root-EC_PK.bin", rootFile);
        Write(dir + "/test-member-state-certificate-C108.bin",
              Certify(root, kRootKeyId, kMemberStateCha, kNoEndOfValidity, kMemberStateChr,
                      memberState.Public()));
        Write(dir + "/test-card-certificate-C100.bin",
              Certify(memberState, kMemberStateChr, kCardCha, kCardEndOfValidity, kCardChr,
                      card.Public()));
        WriteKey(dir + "/test-root-key.txt", root);
        WriteKey(dir + "/test-member-state-key.txt", memberState);
        WriteKey(dir + "/test-card-key.txt", card);
    } catch (const std::exception& error) {
        std::cerr << "dravik-test-pki: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
