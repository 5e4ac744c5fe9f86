// The cryptography Dravik needs for card signatures, as a few functions on
// bytes. This folder is the only code that knows which library computes them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace crypto {

using TBytes = std::vector<std::uint8_t>;
using TBytesView = std::span<const std::uint8_t>;

std::array<std::uint8_t, 20> Sha1(TBytesView data);
std::array<std::uint8_t, 32> Sha256(TBytesView data);

// Big-endian unsigned integers, as the card's certificates carry them.
struct TRsaPublicKey {
    TBytes Modulus;
    TBytes Exponent;
};

struct TRsaPrivateKey {
    TBytes Modulus;
    TBytes PublicExponent;
    TBytes PrivateExponent;
    TBytes PrimeP;
    TBytes PrimeQ;
    TBytes Coefficient; // p^-1 mod q, the library's convention (p < q)
    TRsaPublicKey Public() const { return {Modulus, PublicExponent}; }
};

// RSASSA-PKCS1-v1_5 with SHA-1 over `data`: true only for a signature that
// checks. A signature of another length than the modulus never checks.
bool VerifyPkcs1Sha1(const TRsaPublicKey& key, TBytesView data, TBytesView signature);

// `input`^e mod n, left-padded with zeros to the modulus's length: the raw
// public operation that ISO/IEC 9796-2 message recovery starts from. nullopt
// when the input is not shorter than the modulus in bytes or not below it, or
// the key is unusable.
std::optional<TBytes> RsaPublicRaw(const TRsaPublicKey& key, TBytesView input);

// The private counterparts, for the simulated card and the test PKI.
TBytes SignPkcs1Sha1(const TRsaPrivateKey& key, TBytesView data);
TBytes RsaPrivateRaw(const TRsaPrivateKey& key, TBytesView input);
TRsaPrivateKey GenerateRsaKey(unsigned bits, unsigned long exponent);

// ------------------------------------------------ elliptic curves (ECDSA)

// The curves a second-generation card's keys may lie on.
enum class TCurve {
    BrainpoolP256r1,
    BrainpoolP384r1,
    BrainpoolP512r1,
    NistP256,
    NistP384,
    NistP521
};
inline constexpr TCurve kCurves[] = {TCurve::BrainpoolP256r1, TCurve::BrainpoolP384r1,
                                     TCurve::BrainpoolP512r1, TCurve::NistP256,
                                     TCurve::NistP384,        TCurve::NistP521};

// The curve of a DER object identifier's contents (no tag, no length);
// nullopt for any other.
std::optional<TCurve> CurveOfOid(TBytesView oid);
TBytes OidOf(TCurve curve);
const char* CurveName(TCurve curve);
// Bytes of one coordinate, and of r and of s: a plain signature is twice that.
std::size_t FieldLength(TCurve curve);
// The hash the curve's size goes with: SHA-256, -384 or -512.
TBytes HashFor(TCurve curve, TBytesView data);

struct TEcPrivateKey {
    TCurve Curve = TCurve::BrainpoolP256r1;
    TBytes Secret; // d, big-endian
    TBytes Point;  // Q = d·G uncompressed: 04 || x || y
};

// The key of secret `d` (below the curve's order), its point computed.
TEcPrivateKey EcKeyFromSecret(TCurve curve, TBytesView secret);
// Plain r || s of `hash` (deterministic, RFC 6979), each padded to the field.
TBytes SignEcdsa(const TEcPrivateKey& key, TBytesView hash);
// True only for a plain r || s of exactly twice the field's length that
// checks against `point` (04 || x || y) on `curve`. A point not on the curve
// or any other bad input is false, never an exception.
bool VerifyEcdsa(TCurve curve, TBytesView point, TBytesView hash, TBytesView signature);

// A failure of the library where no input of ours could be at fault (key
// generation, an out-of-memory); a bad signature is never an exception.
class TCryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace crypto
