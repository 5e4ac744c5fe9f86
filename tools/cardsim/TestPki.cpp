#include "cardsim/TestPki.h"

#include <sstream>
#include <stdexcept>
#include <string>

namespace cardsim {

namespace testpki {
extern const char* const kCardKeyText;
extern const std::vector<std::uint8_t> kCardCertificate;
extern const std::vector<std::uint8_t> kMemberStateCertificate;
extern const std::vector<std::uint8_t> kRootKeyFile;
} // namespace testpki

namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// "name HEX" lines as dravik-test-pki writes them; '#' starts a comment.
crypto::TRsaPrivateKey ParseKey(const std::string& text) {
    crypto::TRsaPrivateKey key;
    std::istringstream lines(text);
    std::string name;
    std::string hex;
    while (lines >> name) {
        if (name.starts_with("#")) {
            std::getline(lines, hex);
            continue;
        }
        lines >> hex;
        auto bytes = FromHex(hex);
        if (name == "n") {
            key.Modulus = std::move(bytes);
        } else if (name == "e") {
            key.PublicExponent = std::move(bytes);
        } else if (name == "d") {
            key.PrivateExponent = std::move(bytes);
        } else if (name == "p") {
            key.PrimeP = std::move(bytes);
        } else if (name == "q") {
            key.PrimeQ = std::move(bytes);
        } else if (name == "u") {
            key.Coefficient = std::move(bytes);
        }
    }
    if (key.Modulus.empty() || key.PrivateExponent.empty()) {
        throw std::logic_error("the embedded test card key is incomplete");
    }
    return key;
}

} // namespace

const TTestPki& TestPki() {
    static const TTestPki pki{ParseKey(testpki::kCardKeyText), testpki::kCardCertificate,
                              testpki::kMemberStateCertificate, testpki::kRootKeyFile};
    return pki;
}

} // namespace cardsim
