#include "cardsim/TestPki.h"

#include "cardfile/CvCertificate.h"

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

namespace {

using TBytes = std::vector<std::uint8_t>;

// A secret below every allowed curve's order: the seed's hash with its top
// byte cleared.
crypto::TEcPrivateKey KeyOf(crypto::TCurve curve, const std::string& seed) {
    TBytes secret = crypto::HashFor(curve, TBytes(seed.begin(), seed.end()));
    secret.resize(crypto::FieldLength(curve) < secret.size() ? crypto::FieldLength(curve)
                                                             : secret.size());
    secret[0] = 0;
    return crypto::EcKeyFromSecret(curve, secret);
}

TBytes Reference(const char* text, std::uint8_t serial) {
    TBytes reference(text, text + 7);
    reference.push_back(serial);
    return reference;
}

// Tachograph application name and an equipment type.
TBytes Authorisation(std::uint8_t equipment) {
    return {0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54, equipment};
}

TBytes Certify(const crypto::TEcPrivateKey& authority, const TBytes& authorityReference,
               const crypto::TEcPrivateKey& holder, const TBytes& holderReference,
               std::uint8_t equipment) {
    const TBytes body = cardfile::CvCertificateBody(
        authorityReference, Authorisation(equipment), holder.Curve, holder.Point, holderReference,
        {0x62, 0x00, 0x00, 0x00}, {0x7F, 0x00, 0x00, 0x00});
    return cardfile::CvCertificateOf(
        body, crypto::SignEcdsa(authority, crypto::HashFor(authority.Curve, body)));
}

} // namespace

const TTestPkiG2& TestPkiG2() {
    static const TTestPkiG2 pki = [] {
        using crypto::TCurve;
        TTestPkiG2 p;
        const TBytes rootRef = Reference("TESTRT1", 0x01);
        const TBytes newRootRef = Reference("TESTRT2", 0x02);
        const TBytes msRef = Reference("TESTMSA", 0x01);
        p.Root = KeyOf(TCurve::BrainpoolP256r1, "dravik test G2 root");
        p.NewRoot = KeyOf(TCurve::BrainpoolP256r1, "dravik test G2 new root");
        p.MemberState = KeyOf(TCurve::BrainpoolP256r1, "dravik test G2 member state");
        p.Card = KeyOf(TCurve::BrainpoolP256r1, "dravik test G2 card");
        p.CardP384 = KeyOf(TCurve::NistP384, "dravik test G2 card P-384");
        p.RootCertificate = Certify(p.Root, rootRef, p.Root, rootRef, 0x0D);
        p.NewRootCertificate = Certify(p.NewRoot, newRootRef, p.NewRoot, newRootRef, 0x0D);
        p.LinkCertificate = Certify(p.Root, rootRef, p.NewRoot, newRootRef, 0x0D);
        p.MemberStateCertificate = Certify(p.Root, rootRef, p.MemberState, msRef, 0x0E);
        // A card's certificates name it by its extended serial number, the
        // same in both generations: the first one's test certificate's.
        const TBytes cardRef = {0x00, 0x12, 0x34, 0x56, 0x01, 0x20, 0x01, 0xFF};
        p.CardCertificate = Certify(p.MemberState, msRef, p.Card, cardRef, 0x01);
        p.CardCertificateP384 = Certify(p.MemberState, msRef, p.CardP384, cardRef, 0x01);
        return p;
    }();
    return pki;
}

} // namespace cardsim
