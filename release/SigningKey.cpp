#include "release/SigningKey.h"

#include "release/ToolError.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <algorithm>
#include <vector>

namespace {

constexpr std::size_t CoordinateSize = 32;
constexpr std::size_t DigestPieceSize = 1 << 20;

template <class T, void (*Release)(T*)> struct TRelease {
    void operator()(T* object) const { Release(object); }
};
using TBio = std::unique_ptr<BIO, TRelease<BIO, BIO_free_all>>;
using TDigestContext = std::unique_ptr<EVP_MD_CTX, TRelease<EVP_MD_CTX, EVP_MD_CTX_free>>;
using TKeyContext = std::unique_ptr<EVP_PKEY_CTX, TRelease<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using TBigNumber = std::unique_ptr<BIGNUM, TRelease<BIGNUM, BN_free>>;
using TEcdsaSignature = std::unique_ptr<ECDSA_SIG, TRelease<ECDSA_SIG, ECDSA_SIG_free>>;
struct TOpenSslFree {
    void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

// OpenSSL's own reason for the last failure, for the one line that reports it.
std::string LastOpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

[[noreturn]] void ThrowOpenSslError(const std::string& what) {
    throw CToolError(what + ": " + LastOpenSslError());
}

TBio OpenKeyFile(const std::string& path) {
    TBio file(BIO_new_file(path.c_str(), "r"));
    if (!file) {
        ThrowOpenSslError("cannot read " + path);
    }
    return file;
}

bool IsP256(EVP_PKEY* key) {
    char group[64] = {};
    std::size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") == 1 &&
           EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1 &&
           OBJ_sn2nid(group) == NID_X9_62_prime256v1;
}

std::vector<std::uint8_t> GetCoordinate(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) {
        ThrowOpenSslError("cannot read the public point");
    }
    const TBigNumber coordinate(raw);
    std::vector<std::uint8_t> bytes(CoordinateSize);
    if (BN_bn2binpad(coordinate.get(), bytes.data(), static_cast<int>(bytes.size())) < 0) {
        ThrowOpenSslError("cannot read the public point");
    }
    return bytes;
}

// The first 8 bytes of SHA-256 over the uncompressed point 0x04||X||Y, whatever form the PEM
// file stored the point in.
TKeyId ComputeKeyId(EVP_PKEY* key) {
    std::vector<std::uint8_t> point{0x04};
    for (const char* name : {OSSL_PKEY_PARAM_EC_PUB_X, OSSL_PKEY_PARAM_EC_PUB_Y}) {
        const std::vector<std::uint8_t> coordinate = GetCoordinate(key, name);
        point.insert(point.end(), coordinate.begin(), coordinate.end());
    }
    TDigest digest{};
    if (EVP_Digest(point.data(), point.size(), digest.data(), nullptr, EVP_sha256(), nullptr) !=
        1) {
        ThrowOpenSslError("cannot hash the public point");
    }
    TKeyId keyId{};
    std::copy_n(digest.begin(), keyId.size(), keyId.begin());
    return keyId;
}

TKeyContext MakeKeyContext(EVP_PKEY* key) {
    TKeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!context) {
        ThrowOpenSslError("cannot use the key");
    }
    return context;
}

} // namespace

TDigest DigestRange(const CByteSource& source, std::uint64_t length) {
    const TDigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        ThrowOpenSslError("cannot start SHA-256");
    }
    std::vector<unsigned char> piece(DigestPieceSize);
    for (std::uint64_t offset = 0; offset < length;) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - offset));
        if (!source.ReadAt(offset, piece.data(), size)) {
            throw CToolError("cannot read the archive");
        }
        if (EVP_DigestUpdate(context.get(), piece.data(), size) != 1) {
            ThrowOpenSslError("cannot hash the archive");
        }
        offset += size;
    }
    TDigest digest{};
    if (EVP_DigestFinal_ex(context.get(), digest.data(), nullptr) != 1) {
        ThrowOpenSslError("cannot hash the archive");
    }
    return digest;
}

void CSigningKey::TKeyRelease::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

CSigningKey::CSigningKey(const std::string& path, THalf half) : m_path(path) {
    const TBio file = OpenKeyFile(path);
    const bool isPrivate = half == THalf::Private;
    m_key.reset(isPrivate ? PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr)
                          : PEM_read_bio_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    if (!m_key) {
        ERR_clear_error();
        throw CToolError(path + " holds no PEM " + (isPrivate ? "private" : "public") + " key");
    }
    if (!IsP256(m_key.get())) {
        throw CToolError(path + " is not an ECDSA P-256 (prime256v1) key");
    }
    m_keyId = ComputeKeyId(m_key.get());
}

CSigningKey::~CSigningKey() = default;

TSignature CSigningKey::Sign(const TDigest& digest) const {
    const TKeyContext context = MakeKeyContext(m_key.get());
    std::size_t length = 0;
    if (EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, digest.data(), digest.size()) != 1) {
        ThrowOpenSslError("cannot sign");
    }
    std::vector<unsigned char> der(length);
    if (EVP_PKEY_sign(context.get(), der.data(), &length, digest.data(), digest.size()) != 1) {
        ThrowOpenSslError("cannot sign");
    }
    const unsigned char* cursor = der.data();
    const TEcdsaSignature parsed(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
    if (!parsed) {
        ThrowOpenSslError("cannot read the signature");
    }
    TSignature signature{};
    if (BN_bn2binpad(ECDSA_SIG_get0_r(parsed.get()), signature.data(), CoordinateSize) < 0 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(parsed.get()), signature.data() + CoordinateSize,
                     CoordinateSize) < 0) {
        ThrowOpenSslError("cannot read the signature");
    }
    return signature;
}

bool CSigningKey::Verify(const TDigest& digest, const TSignature& signature) const {
    TEcdsaSignature parsed(ECDSA_SIG_new());
    TBigNumber r(BN_bin2bn(signature.data(), CoordinateSize, nullptr));
    TBigNumber s(BN_bin2bn(signature.data() + CoordinateSize, CoordinateSize, nullptr));
    if (!parsed || !r || !s || ECDSA_SIG_set0(parsed.get(), r.get(), s.get()) != 1) {
        ThrowOpenSslError("cannot read the signature");
    }
    // The signature owns both numbers now.
    static_cast<void>(r.release());
    static_cast<void>(s.release());
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(parsed.get(), &der);
    if (length <= 0) {
        ThrowOpenSslError("cannot encode the signature");
    }
    const std::unique_ptr<unsigned char, TOpenSslFree> derOwner(der);
    const TKeyContext context = MakeKeyContext(m_key.get());
    if (EVP_PKEY_verify_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
        ThrowOpenSslError("cannot verify");
    }
    const int verdict = EVP_PKEY_verify(context.get(), der, static_cast<std::size_t>(length),
                                        digest.data(), digest.size());
    ERR_clear_error();
    return verdict == 1;
}
