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

} // namespace cardsim
