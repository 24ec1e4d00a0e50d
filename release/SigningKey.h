#pragma once

#include "core/ByteSource.h"
#include "core/SignatureBlock.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

struct evp_pkey_st;

using TDigest = std::array<std::uint8_t, 32>;
using TSignature = std::array<std::uint8_t, TSignatureBlock::SignatureSize>;

// SHA-256 of the source's first length bytes, read in pieces so that no archive is held whole.
TDigest DigestRange(const CByteSource& source, std::uint64_t length);

// An ECDSA P-256 key from a PEM file: a private key to sign with, or the public key that an
// updater is built with, to verify. Any other kind of key is refused as it is read, so that no
// archive is ever signed with a key that no updater can hold. Failures are CToolErrors.
class CSigningKey {
public:
    enum class THalf { Private, Public };

    CSigningKey(const std::string& path, THalf half);
    ~CSigningKey();

    const TKeyId& GetKeyId() const { return m_keyId; }
    // The file it was read from, which no output of the run may replace.
    const std::string& GetPath() const { return m_path; }
    // ECDSA over the SHA-256 digest, as r||s; only for a private key.
    TSignature Sign(const TDigest& digest) const;
    bool Verify(const TDigest& digest, const TSignature& signature) const;

private:
    struct TKeyRelease {
        void operator()(evp_pkey_st* key) const;
    };
    std::string m_path;
    std::unique_ptr<evp_pkey_st, TKeyRelease> m_key;
    TKeyId m_keyId{};
};
