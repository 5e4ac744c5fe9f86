// The project's test PKI (tests/data/test-pki): a test root, a test Member
// State and the simulated card's key. Test data only: Dravik never trusts the
// test root unless a user or a test names its file as the root key.
#pragma once

#include "crypto/Crypto.h"

#include <cstdint>
#include <vector>

namespace cardsim {

struct TTestPki {
    crypto::TRsaPrivateKey CardKey;
    std::vector<std::uint8_t> CardCertificate;        // EF C1 00
    std::vector<std::uint8_t> MemberStateCertificate; // EF C1 08
    std::vector<std::uint8_t> RootKeyFile;            // the 144 bytes of EC_PK.bin
};

const TTestPki& TestPki();

// The second generation's test PKI: a root on brainpoolP256r1 with its
// self-signed certificate, a link certificate that certifies a second root
// with the first, a Member State CA and two cards, one on brainpoolP256r1 and
// one on NIST P-384 (whose signatures are 96 bytes). The keys come from fixed
// seeds and the signatures are deterministic (RFC 6979): every process, and
// dravik-test-pki, makes the same bytes.
struct TTestPkiG2 {
    crypto::TEcPrivateKey Root;
    std::vector<std::uint8_t> RootCertificate; // what a user names as the G2 root
    crypto::TEcPrivateKey NewRoot;
    std::vector<std::uint8_t> NewRootCertificate;
    std::vector<std::uint8_t> LinkCertificate; // NewRoot certified by Root
    crypto::TEcPrivateKey MemberState;
    std::vector<std::uint8_t> MemberStateCertificate; // EF C1 08, by Root
    crypto::TEcPrivateKey Card;
    std::vector<std::uint8_t> CardCertificate; // EF C1 01
    crypto::TEcPrivateKey CardP384;
    std::vector<std::uint8_t> CardCertificateP384;
};

const TTestPkiG2& TestPkiG2();

} // namespace cardsim
