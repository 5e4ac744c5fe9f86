// Card-verifiable certificates of the second generation (tag 7F 21): parsing
// and checking one with the key of the authority that signed it. Bytes in,
// an error text out for anything malformed: never a crash or an exception.
#pragma once

#include "crypto/Crypto.h"

#include <optional>
#include <string>

namespace cardfile {

struct TCvCertificate {
    crypto::TBytes Body;                // the whole 7F 4E element, what the signature covers
    crypto::TBytes Signature;           // 5F 37: plain r || s
    crypto::TBytes ProfileIdentifier;   // 5F 29
    crypto::TBytes AuthorityReference;  // 42: CAR
    crypto::TBytes HolderAuthorisation; // 5F 4C: CHA
    crypto::TBytes HolderReference;     // 5F 20: CHR
    crypto::TBytes EffectiveDate;       // 5F 25
    crypto::TBytes ExpirationDate;      // 5F 24
    crypto::TCurve Curve = crypto::TCurve::BrainpoolP256r1; // of the public key (7F 49: 06)
    crypto::TBytes Point;                                   // 7F 49: 86, 04 || x || y
};

// The certificate at the start of `bytes` (trailing bytes, as a file padded
// with zeros has, are allowed); nullopt and `error` otherwise.
std::optional<TCvCertificate> ParseCvCertificate(crypto::TBytesView bytes, std::string* error);

// Whether `certificate`'s signature checks with the key of `authority`. A
// signature of another length than the authority's curve gives is told in
// `error` as such.
bool CheckCvCertificate(const TCvCertificate& certificate, const TCvCertificate& authority,
                        std::string* error);

// The body of a certificate: what the test PKI's generator and the simulated
// card sign. `signature` is appended as 5F 37 to give the whole certificate.
crypto::TBytes CvCertificateBody(const crypto::TBytes& authorityReference,
                                 const crypto::TBytes& holderAuthorisation, crypto::TCurve curve,
                                 const crypto::TBytes& point, const crypto::TBytes& holderReference,
                                 const crypto::TBytes& effectiveDate,
                                 const crypto::TBytes& expirationDate);
crypto::TBytes CvCertificateOf(const crypto::TBytes& body, const crypto::TBytes& signature);

} // namespace cardfile
