#include "cardfile/CvCertificate.h"

namespace cardfile {

namespace {

using crypto::TBytes;
using crypto::TBytesView;

struct TElement {
    unsigned Tag = 0;
    TBytesView Value;
    std::size_t Size = 0; // tag, length and value
};

// One BER element at the start of `bytes`: a tag of one or two bytes, a
// length of the short form or 81 / 82; nullopt when it does not fit.
std::optional<TElement> ElementAt(TBytesView bytes) {
    std::size_t at = 0;
    if (bytes.size() < 2) {
        return std::nullopt;
    }
    unsigned tag = bytes[at++];
    if ((tag & 0x1F) == 0x1F) {
        tag = tag << 8 | bytes[at++];
    }
    if (at >= bytes.size()) {
        return std::nullopt;
    }
    std::size_t length = bytes[at++];
    if (length == 0x81 || length == 0x82) {
        const std::size_t count = length - 0x80;
        if (at + count > bytes.size()) {
            return std::nullopt;
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = length << 8 | bytes[at++];
        }
    } else if (length > 0x7F) {
        return std::nullopt;
    }
    if (length > bytes.size() - at) {
        return std::nullopt;
    }
    return TElement{tag, bytes.subspan(at, length), at + length};
}

void PutLength(TBytes& out, std::size_t length) {
    if (length >= 0x100) {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
    } else if (length >= 0x80) {
        out.push_back(0x81);
    }
    out.push_back(static_cast<std::uint8_t>(length));
}

void Put(TBytes& out, unsigned tag, const TBytes& value) {
    if (tag > 0xFF) {
        out.push_back(static_cast<std::uint8_t>(tag >> 8));
    }
    out.push_back(static_cast<std::uint8_t>(tag));
    PutLength(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

} // namespace

std::optional<TCvCertificate> ParseCvCertificate(TBytesView bytes, std::string* error) {
    const auto whole = ElementAt(bytes);
    if (!whole || whole->Tag != 0x7F21) {
        Fail(error, "not a card-verifiable certificate (no 7F 21 element)");
        return std::nullopt;
    }
    TCvCertificate certificate;
    bool haveKey = false;
    TBytesView rest = whole->Value;
    while (!rest.empty()) {
        const auto element = ElementAt(rest);
        if (!element) {
            Fail(error, "the certificate's elements run past its end");
            return std::nullopt;
        }
        if (element->Tag == 0x7F4E) {
            certificate.Body.assign(rest.begin(),
                                    rest.begin() + static_cast<std::ptrdiff_t>(element->Size));
            TBytesView fields = element->Value;
            while (!fields.empty()) {
                const auto field = ElementAt(fields);
                if (!field) {
                    Fail(error, "the certificate body's elements run past its end");
                    return std::nullopt;
                }
                const TBytes value(field->Value.begin(), field->Value.end());
                switch (field->Tag) {
                case 0x5F29:
                    certificate.ProfileIdentifier = value;
                    break;
                case 0x42:
                    certificate.AuthorityReference = value;
                    break;
                case 0x5F4C:
                    certificate.HolderAuthorisation = value;
                    break;
                case 0x5F20:
                    certificate.HolderReference = value;
                    break;
                case 0x5F25:
                    certificate.EffectiveDate = value;
                    break;
                case 0x5F24:
                    certificate.ExpirationDate = value;
                    break;
                case 0x7F49: {
                    TBytesView key = field->Value;
                    std::optional<crypto::TCurve> curve;
                    while (!key.empty()) {
                        const auto part = ElementAt(key);
                        if (!part) {
                            Fail(error, "the certificate's public key is malformed");
                            return std::nullopt;
                        }
                        if (part->Tag == 0x06) {
                            curve = crypto::CurveOfOid(part->Value);
                        } else if (part->Tag == 0x86) {
                            certificate.Point.assign(part->Value.begin(), part->Value.end());
                        }
                        key = key.subspan(part->Size);
                    }
                    if (!curve) {
                        Fail(error, "the certificate's key is on no curve the rules allow");
                        return std::nullopt;
                    }
                    certificate.Curve = *curve;
                    haveKey = true;
                    break;
                }
                default:
                    break;
                }
                fields = fields.subspan(field->Size);
            }
        } else if (element->Tag == 0x5F37) {
            certificate.Signature.assign(element->Value.begin(), element->Value.end());
        }
        rest = rest.subspan(element->Size);
    }
    if (certificate.Body.empty() || !haveKey || certificate.Signature.empty() ||
        certificate.AuthorityReference.size() != 8 || certificate.HolderReference.size() != 8) {
        Fail(error, "the certificate lacks its body, key, references or signature");
        return std::nullopt;
    }
    if (certificate.Point.size() != 1 + 2 * crypto::FieldLength(certificate.Curve) ||
        certificate.Point[0] != 0x04) {
        Fail(error, "the certificate's public key is not an uncompressed point of its curve");
        return std::nullopt;
    }
    return certificate;
}

bool CheckCvCertificate(const TCvCertificate& certificate, const TCvCertificate& authority,
                        std::string* error) {
    if (certificate.AuthorityReference != authority.HolderReference) {
        return Fail(error, "its authority reference names another key");
    }
    const std::size_t expected = 2 * crypto::FieldLength(authority.Curve);
    if (certificate.Signature.size() != expected) {
        return Fail(error, "its signature has " + std::to_string(certificate.Signature.size()) +
                               " bytes where " + crypto::CurveName(authority.Curve) + " gives " +
                               std::to_string(expected));
    }
    if (!crypto::VerifyEcdsa(authority.Curve, authority.Point,
                             crypto::HashFor(authority.Curve, certificate.Body),
                             certificate.Signature)) {
        return Fail(error, "its signature does not verify");
    }
    return true;
}

TBytes CvCertificateBody(const TBytes& authorityReference, const TBytes& holderAuthorisation,
                         crypto::TCurve curve, const TBytes& point, const TBytes& holderReference,
                         const TBytes& effectiveDate, const TBytes& expirationDate) {
    TBytes key;
    Put(key, 0x06, crypto::OidOf(curve));
    Put(key, 0x86, point);
    TBytes fields;
    Put(fields, 0x5F29, {0x00});
    Put(fields, 0x42, authorityReference);
    Put(fields, 0x5F4C, holderAuthorisation);
    Put(fields, 0x7F49, key);
    Put(fields, 0x5F20, holderReference);
    Put(fields, 0x5F25, effectiveDate);
    Put(fields, 0x5F24, expirationDate);
    TBytes body;
    Put(body, 0x7F4E, fields);
    return body;
}

TBytes CvCertificateOf(const TBytes& body, const TBytes& signature) {
    TBytes inner = body;
    Put(inner, 0x5F37, signature);
    TBytes whole;
    Put(whole, 0x7F21, inner);
    return whole;
}

} // namespace cardfile
