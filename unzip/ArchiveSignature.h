#pragma once

#include "common/Handle.h"
#include "core/ByteSource.h"
#include "core/SignatureBlock.h"
#include "unzip/UpdateKeys.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

// The archive opened so that nobody can write, rename or delete it while it is held: the bytes
// whose signature is checked are the bytes unpacked. Throws the unzip failure.
std::shared_ptr<const CByteSource> OpenHeldArchive(const std::wstring& path);

// The key's id as the signature block names it.
TKeyId GetKeyId(const TUpdateKey& key);

// The check of an archive's signature by the accepted keys, with the platform's cryptography.
// Hashing the archive in a pass of its own would cost as much as a good part of the unpack, so
// the digest is taken from the reads of the unpack itself, through GetReadingSource, in file
// order, and hashed beside them on a thread of its own; Finish waits for that, hashes what those
// reads left out and verifies. Everything but the
// signature itself is decided at once. Used by one thread. Throws COrvException when the archive
// cannot be read or the cryptography itself fails.
class CArchiveSignatureCheck {
public:
    CArchiveSignatureCheck(std::shared_ptr<const CByteSource> archive,
                           std::span<const TUpdateKey> keys);
    CArchiveSignatureCheck(const CArchiveSignatureCheck&) = delete;
    CArchiveSignatureCheck& operator=(const CArchiveSignatureCheck&) = delete;
    virtual ~CArchiveSignatureCheck();

    // A refusal that needs no digest (no signature, malformed, unknown key); Valid otherwise,
    // which holds only once Finish agrees.
    TSignatureVerdict GetEarlyVerdict() const { return m_earlyVerdict; }
    // The archive's bytes, hashed as they are read once the digest has begun.
    std::shared_ptr<const CByteSource> GetReadingSource();
    // Begins the digest with the next read. Opening reads every local header in file order,
    // which would take the whole archive into the digest, the data between the headers too,
    // before the unpack itself begins: begun with the unpack, the hashing runs beside it.
    void BeginDigest();
    TSignatureVerdict Finish();

private:
    class CHashingSource;

    std::shared_ptr<const CByteSource> m_archive;
    TUpdateKey m_key{};
    TSignedRange m_range;
    TSignatureBlock m_block;
    TSignatureVerdict m_earlyVerdict = TSignatureVerdict::Malformed;
    std::shared_ptr<CHashingSource> m_hashing;
};
