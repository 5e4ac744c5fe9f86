// libgcrypt behind the functions of Crypto.h. Binary values always go into
// S-expressions through "%b" (length, pointer); integers get a leading zero
// byte, as the library reads a token with its top bit set as negative.
#include "crypto/Crypto.h"

#include <gcrypt.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace crypto {

namespace {

void Initialise() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
            throw TCryptoError("libgcrypt is older than the one Dravik was built with");
        }
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}

struct TSexpFree {
    void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using TSexp = std::unique_ptr<gcry_sexp, TSexpFree>;

TSexp Build(const char* format, std::initializer_list<const TBytes*> values) {
    // gcry_sexp_build_array takes, per "%b", a pointer to an int length and a
    // pointer to the pointer to the bytes.
    std::vector<int> lengths;
    std::vector<const void*> pointers;
    lengths.reserve(values.size());
    pointers.reserve(values.size());
    for (const TBytes* value : values) {
        lengths.push_back(static_cast<int>(value->size()));
        pointers.push_back(value->data());
    }
    std::vector<void*> arguments;
    for (std::size_t i = 0; i < values.size(); ++i) {
        arguments.push_back(&lengths[i]);
        arguments.push_back(&pointers[i]);
    }
    gcry_sexp_t sexp = nullptr;
    const gcry_error_t error = gcry_sexp_build_array(&sexp, nullptr, format, arguments.data());
    if (error != 0) {
        throw TCryptoError(std::string("building an S-expression: ") + gcry_strerror(error));
    }
    return TSexp(sexp);
}

TBytes Positive(TBytesView value) {
    TBytes out;
    out.reserve(value.size() + 1);
    out.push_back(0);
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

TBytes Copy(TBytesView value) {
    return TBytes(value.begin(), value.end());
}

// The value of the token named `name` in `sexp`, without leading zero bytes.
TBytes Token(gcry_sexp_t sexp, const char* name) {
    TSexp found(gcry_sexp_find_token(sexp, name, 0));
    if (!found) {
        throw TCryptoError(std::string("no ") + name + " in the library's answer");
    }
    std::size_t length = 0;
    const char* data = gcry_sexp_nth_data(found.get(), 1, &length);
    if (data == nullptr) {
        throw TCryptoError(std::string("an empty ") + name + " in the library's answer");
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    const auto* first = std::find_if(bytes, bytes + length, [](std::uint8_t b) { return b != 0; });
    return TBytes(first, bytes + length);
}

std::size_t SignificantLength(TBytesView value) {
    const auto first =
        std::find_if(value.begin(), value.end(), [](std::uint8_t b) { return b != 0; });
    return static_cast<std::size_t>(value.end() - first);
}

// Left-padded with zeros to `length` bytes.
TBytes Padded(TBytes value, std::size_t length) {
    if (value.size() < length) {
        value.insert(value.begin(), length - value.size(), 0);
    }
    return value;
}

TSexp PublicKey(const TRsaPublicKey& key) {
    const TBytes n = Positive(key.Modulus);
    const TBytes e = Positive(key.Exponent);
    return Build("(public-key (rsa (n %b) (e %b)))", {&n, &e});
}

TSexp PrivateKey(const TRsaPrivateKey& key) {
    const TBytes n = Positive(key.Modulus);
    const TBytes e = Positive(key.PublicExponent);
    const TBytes d = Positive(key.PrivateExponent);
    const TBytes p = Positive(key.PrimeP);
    const TBytes q = Positive(key.PrimeQ);
    const TBytes u = Positive(key.Coefficient);
    return Build("(private-key (rsa (n %b) (e %b) (d %b) (p %b) (q %b) (u %b)))",
                 {&n, &e, &d, &p, &q, &u});
}

TBytes Sign(const TRsaPrivateKey& key, const TSexp& data) {
    Initialise();
    gcry_sexp_t result = nullptr;
    const gcry_error_t error = gcry_pk_sign(&result, data.get(), PrivateKey(key).get());
    if (error != 0) {
        throw TCryptoError(std::string("signing: ") + gcry_strerror(error));
    }
    const TSexp owned(result);
    return Padded(Token(result, "s"), SignificantLength(key.Modulus));
}

} // namespace

std::array<std::uint8_t, 20> Sha1(TBytesView data) {
    Initialise();
    std::array<std::uint8_t, 20> out{};
    gcry_md_hash_buffer(GCRY_MD_SHA1, out.data(), data.data(), data.size());
    return out;
}

std::array<std::uint8_t, 32> Sha256(TBytesView data) {
    Initialise();
    std::array<std::uint8_t, 32> out{};
    gcry_md_hash_buffer(GCRY_MD_SHA256, out.data(), data.data(), data.size());
    return out;
}

bool VerifyPkcs1Sha1(const TRsaPublicKey& key, TBytesView data, TBytesView signature) {
    Initialise();
    // The library would accept a signature shorter than the modulus as the
    // same integer; a signature record holds exactly the modulus's length.
    if (signature.size() != SignificantLength(key.Modulus) || key.Exponent.empty()) {
        return false;
    }
    const auto digest = Sha1(data);
    const TBytes hash(digest.begin(), digest.end());
    const TBytes s = Copy(signature);
    const TSexp sig = Build("(sig-val (rsa (s %b)))", {&s});
    const TSexp hashed = Build("(data (flags pkcs1) (hash sha1 %b))", {&hash});
    return gcry_pk_verify(sig.get(), hashed.get(), PublicKey(key).get()) == 0;
}

std::optional<TBytes> RsaPublicRaw(const TRsaPublicKey& key, TBytesView input) {
    Initialise();
    const std::size_t length = SignificantLength(key.Modulus);
    if (length == 0 || SignificantLength(key.Exponent) == 0 || input.size() > length) {
        return std::nullopt;
    }
    // The library refuses a value not below the modulus; compare first so
    // that such input is an ordinary "does not recover".
    const TBytes value = Padded(Copy(input), length);
    const TBytes modulus(key.Modulus.end() - static_cast<std::ptrdiff_t>(length),
                         key.Modulus.end());
    if (!std::lexicographical_compare(value.begin(), value.end(), modulus.begin(), modulus.end())) {
        return std::nullopt;
    }
    const TBytes positive = Positive(value);
    const TSexp data = Build("(data (flags raw) (value %b))", {&positive});
    gcry_sexp_t result = nullptr;
    if (gcry_pk_encrypt(&result, data.get(), PublicKey(key).get()) != 0) {
        return std::nullopt;
    }
    const TSexp owned(result);
    return Padded(Token(result, "a"), length);
}

TBytes SignPkcs1Sha1(const TRsaPrivateKey& key, TBytesView data) {
    const auto digest = Sha1(data);
    const TBytes hash(digest.begin(), digest.end());
    return Sign(key, Build("(data (flags pkcs1) (hash sha1 %b))", {&hash}));
}

TBytes RsaPrivateRaw(const TRsaPrivateKey& key, TBytesView input) {
    const TBytes positive = Positive(input);
    return Sign(key, Build("(data (flags raw) (value %b))", {&positive}));
}

TRsaPrivateKey GenerateRsaKey(unsigned bits, unsigned long exponent) {
    Initialise();
    const std::string bitsText = std::to_string(bits);
    const std::string exponentText = std::to_string(exponent);
    const std::string keyParameters =
        "(genkey (rsa (nbits " + std::to_string(bitsText.size()) + ":" + bitsText +
        ") (rsa-use-e " + std::to_string(exponentText.size()) + ":" + exponentText + ")))";
    gcry_sexp_t parameters = nullptr;
    if (gcry_sexp_new(&parameters, keyParameters.data(), keyParameters.size(), 1) != 0) {
        throw TCryptoError("key parameters");
    }
    const TSexp ownedParameters(parameters);
    gcry_sexp_t generated = nullptr;
    const gcry_error_t error = gcry_pk_genkey(&generated, parameters);
    if (error != 0) {
        throw TCryptoError(std::string("generating a key: ") + gcry_strerror(error));
    }
    const TSexp ownedKey(generated);
    TSexp secret(gcry_sexp_find_token(generated, "private-key", 0));
    if (!secret) {
        throw TCryptoError("no private key in the generated key");
    }
    TRsaPrivateKey key;
    key.Modulus = Token(secret.get(), "n");
    key.PublicExponent = Token(secret.get(), "e");
    key.PrivateExponent = Token(secret.get(), "d");
    key.PrimeP = Token(secret.get(), "p");
    key.PrimeQ = Token(secret.get(), "q");
    key.Coefficient = Token(secret.get(), "u");
    return key;
}

// ------------------------------------------------ elliptic curves

namespace {

struct TCurveFacts {
    TCurve Curve;
    const char* Name;
    std::size_t Field;
    int Hash;
    TBytes Oid;
};

const std::vector<TCurveFacts>& Curves() {
    static const std::vector<TCurveFacts> curves = {
        {TCurve::BrainpoolP256r1,
         "brainpoolP256r1",
         32,
         GCRY_MD_SHA256,
         {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07}},
        {TCurve::BrainpoolP384r1,
         "brainpoolP384r1",
         48,
         GCRY_MD_SHA384,
         {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B}},
        {TCurve::BrainpoolP512r1,
         "brainpoolP512r1",
         64,
         GCRY_MD_SHA512,
         {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D}},
        {TCurve::NistP256,
         "NIST P-256",
         32,
         GCRY_MD_SHA256,
         {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}},
        {TCurve::NistP384, "NIST P-384", 48, GCRY_MD_SHA384, {0x2B, 0x81, 0x04, 0x00, 0x22}},
        {TCurve::NistP521, "NIST P-521", 66, GCRY_MD_SHA512, {0x2B, 0x81, 0x04, 0x00, 0x23}},
    };
    return curves;
}

const TCurveFacts& FactsOf(TCurve curve) {
    for (const TCurveFacts& facts : Curves()) {
        if (facts.Curve == curve) {
            return facts;
        }
    }
    throw TCryptoError("an unknown curve");
}

// The curve goes into the format as one of our own names, never card bytes.
std::string EccFormat(const char* head, TCurve curve, const char* tail) {
    return std::string(head) + "(ecc (curve \"" + FactsOf(curve).Name + "\")" + tail;
}

} // namespace

std::optional<TCurve> CurveOfOid(TBytesView oid) {
    for (const TCurveFacts& facts : Curves()) {
        if (std::equal(oid.begin(), oid.end(), facts.Oid.begin(), facts.Oid.end())) {
            return facts.Curve;
        }
    }
    return std::nullopt;
}

TBytes OidOf(TCurve curve) {
    return FactsOf(curve).Oid;
}

const char* CurveName(TCurve curve) {
    return FactsOf(curve).Name;
}

std::size_t FieldLength(TCurve curve) {
    return FactsOf(curve).Field;
}

TBytes HashFor(TCurve curve, TBytesView data) {
    Initialise();
    const int algorithm = FactsOf(curve).Hash;
    TBytes out(gcry_md_get_algo_dlen(algorithm));
    gcry_md_hash_buffer(algorithm, out.data(), data.data(), data.size());
    return out;
}

TEcPrivateKey EcKeyFromSecret(TCurve curve, TBytesView secret) {
    Initialise();
    const TBytes d = Positive(secret);
    const TSexp key = Build(EccFormat("(private-key ", curve, " (d %b)))").c_str(), {&d});
    gcry_ctx_t context = nullptr;
    if (gcry_mpi_ec_new(&context, key.get(), nullptr) != 0) {
        throw TCryptoError("an elliptic curve key of that secret");
    }
    gcry_mpi_t q = gcry_mpi_ec_get_mpi("q", context, 1);
    gcry_ctx_release(context);
    if (q == nullptr) {
        throw TCryptoError("no point for that secret");
    }
    unsigned char* buffer = nullptr;
    std::size_t length = 0;
    const gcry_error_t error = gcry_mpi_aprint(GCRYMPI_FMT_USG, &buffer, &length, q);
    gcry_mpi_release(q);
    if (error != 0) {
        throw TCryptoError("printing the point");
    }
    TEcPrivateKey result;
    result.Curve = curve;
    result.Secret = Copy(secret);
    result.Point.assign(buffer, buffer + length);
    gcry_free(buffer);
    return result;
}

TBytes SignEcdsa(const TEcPrivateKey& key, TBytesView hash) {
    Initialise();
    const TBytes d = Positive(key.Secret);
    const TBytes q = key.Point;
    const TSexp secret =
        Build(EccFormat("(private-key ", key.Curve, " (q %b) (d %b)))").c_str(), {&q, &d});
    const TBytes value = Copy(hash);
    const char* name = hash.size() == 32 ? "sha256" : hash.size() == 48 ? "sha384" : "sha512";
    const TSexp data =
        Build((std::string("(data (flags rfc6979) (hash ") + name + " %b))").c_str(), {&value});
    gcry_sexp_t result = nullptr;
    const gcry_error_t error = gcry_pk_sign(&result, data.get(), secret.get());
    if (error != 0) {
        throw TCryptoError(std::string("signing: ") + gcry_strerror(error));
    }
    const TSexp owned(result);
    const std::size_t field = FieldLength(key.Curve);
    TBytes signature = Padded(Token(result, "r"), field);
    const TBytes s = Padded(Token(result, "s"), field);
    signature.insert(signature.end(), s.begin(), s.end());
    return signature;
}

bool VerifyEcdsa(TCurve curve, TBytesView point, TBytesView hash, TBytesView signature) {
    Initialise();
    const std::size_t field = FieldLength(curve);
    if (signature.size() != 2 * field || point.size() != 1 + 2 * field || point[0] != 0x04 ||
        hash.empty()) {
        return false;
    }
    const TBytes q = Copy(point);
    const TBytes r = Positive(signature.first(field));
    const TBytes s = Positive(signature.subspan(field));
    const TBytes value = Positive(hash);
    try {
        const TSexp key = Build(EccFormat("(public-key ", curve, " (q %b)))").c_str(), {&q});
        const TSexp sig = Build("(sig-val (ecdsa (r %b) (s %b)))", {&r, &s});
        const TSexp data = Build("(data (flags raw) (value %b))", {&value});
        return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
    } catch (const TCryptoError&) {
        return false;
    }
}

} // namespace crypto
