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

// A failure of the library where no input of ours could be at fault (key
// generation, an out-of-memory); a bad signature is never an exception.
class TCryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace crypto
