// The parsing of second-generation CV certificates, and their check against
// the test PKI's Member State: any bytes give a certificate or an error text,
// never a crash; a parsed certificate's key is a point of its curve's length,
// and a certificate that is not the real one never checks.
#include "FuzzCheck.h"
#include "cardfile/CvCertificate.h"
#include "cardsim/TestPki.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const crypto::TBytesView bytes(data, size);
    std::string error;
    const auto certificate = cardfile::ParseCvCertificate(bytes, &error);
    FUZZ_CHECK(certificate.has_value() == error.empty());
    if (!certificate) {
        return 0;
    }
    FUZZ_CHECK(certificate->Point.size() == 1 + 2 * crypto::FieldLength(certificate->Curve));
    static const auto authority =
        cardfile::ParseCvCertificate(cardsim::TestPkiG2().MemberStateCertificate, nullptr);
    FUZZ_CHECK(authority.has_value());
    static const auto real =
        cardfile::ParseCvCertificate(cardsim::TestPkiG2().CardCertificate, nullptr);
    FUZZ_CHECK(real.has_value());
    // Only the body the Member State signed checks: anything else would be a forgery.
    if (cardfile::CheckCvCertificate(*certificate, *authority, &error)) {
        FUZZ_CHECK(certificate->Body == real->Body);
    } else {
        FUZZ_CHECK(!error.empty());
    }
    return 0;
}
