#include "unzip/ArchiveSignature.h"

#include "common/Errors.h"
#include "common/PieceQueue.h"
#include "core/ZipFault.h"
#include "zip/FileByteSource.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

namespace {

constexpr std::size_t DigestSize = 32;
constexpr std::size_t CoordinateSize = 32;
// Large enough that the hash, not the calls, sets the pace.
constexpr std::size_t HashPiece = 4 * 1024 * 1024;
// A skip this small between two reads (a local header's extra field, a data descriptor) is
// read to keep the digest going; the reader's look at the central directory is not.
constexpr std::uint64_t LargestGap = 256 * 1024;
constexpr NTSTATUS InvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

using TDigest = std::array<std::uint8_t, DigestSize>;

[[noreturn]] void ThrowCryptoFailure(const wchar_t* call, NTSTATUS status) {
    wchar_t text[96] = {};
    std::swprintf(text, std::size(text), L"the signature check failed: %ls returned 0x%08lX", call,
                  static_cast<unsigned long>(status));
    throw COrvException(text, 0);
}

void CheckStatus(const wchar_t* call, NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) {
        ThrowCryptoFailure(call, status);
    }
}

CCryptAlgorithm OpenAlgorithm(const wchar_t* name) {
    CCryptAlgorithm algorithm;
    CheckStatus(L"BCryptOpenAlgorithmProvider",
                BCryptOpenAlgorithmProvider(algorithm.Put(), name, nullptr, 0));
    return algorithm;
}

// SHA-256 over bytes given in order; the algorithm outlives the hash made from it.
class CSha256 {
public:
    CSha256() : m_algorithm(OpenAlgorithm(BCRYPT_SHA256_ALGORITHM)) {
        CheckStatus(L"BCryptCreateHash",
                    BCryptCreateHash(m_algorithm.Get(), m_hash.Put(), nullptr, 0, nullptr, 0, 0));
    }
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;
    virtual ~CSha256() = default;

    NTSTATUS Add(const unsigned char* bytes, std::size_t size) {
        return BCryptHashData(m_hash.Get(), const_cast<PUCHAR>(bytes), static_cast<ULONG>(size), 0);
    }

    // [from, to) of the source, read in pieces.
    void AddRange(const CByteSource& source, std::uint64_t from, std::uint64_t to) {
        std::vector<unsigned char> piece(
            static_cast<std::size_t>(std::min<std::uint64_t>(to - from, HashPiece)));
        while (from < to) {
            const std::size_t size =
                static_cast<std::size_t>(std::min<std::uint64_t>(to - from, piece.size()));
            if (!source.ReadAt(from, piece.data(), size)) {
                ThrowUnzipError();
            }
            CheckStatus(L"BCryptHashData", Add(piece.data(), size));
            from += size;
        }
    }

    TDigest Finish() {
        TDigest digest{};
        CheckStatus(L"BCryptFinishHash", BCryptFinishHash(m_hash.Get(), digest.data(),
                                                          static_cast<ULONG>(digest.size()), 0));
        return digest;
    }

private:
    CCryptAlgorithm m_algorithm;
    CCryptHash m_hash;
};

bool VerifyDigest(const TUpdateKey& key, const TDigest& digest, const TSignatureBlock& block) {
    const CCryptAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    // The public key blob is the header and X||Y, without the point's leading 0x04.
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * CoordinateSize);
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, CoordinateSize};
    std::copy_n(reinterpret_cast<const unsigned char*>(&header), sizeof header, blob.begin());
    std::copy(key.point.begin() + 1, key.point.end(), blob.begin() + sizeof header);
    CCryptKey publicKey;
    CheckStatus(L"BCryptImportKeyPair",
                BCryptImportKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                    publicKey.Put(), blob.data(), static_cast<ULONG>(blob.size()),
                                    0));
    const NTSTATUS status = BCryptVerifySignature(
        publicKey.Get(), nullptr, const_cast<PUCHAR>(digest.data()),
        static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(block.signature.data()),
        static_cast<ULONG>(block.signature.size()), 0);
    if (status == InvalidSignature) {
        return false;
    }
    CheckStatus(L"BCryptVerifySignature", status);
    return true;
}

} // namespace

// Hashes the signed range, once begun, as the reader's reads pass through it in file order. A read
// that jumps ahead or back adds nothing; Finish covers whatever is left. The hashing itself is done
// on a thread of its own, from copies of the bytes read: the reader waits only while every
// piece of the queue is still to be hashed, so that the digest costs no time of the unpack's
// own as long as the hash keeps up with it.
class CArchiveSignatureCheck::CHashingSource : public CByteSource {
public:
    CHashingSource(std::shared_ptr<const CByteSource> archive, std::uint64_t length)
        : m_archive(std::move(archive)), m_length(length),
          m_pieces([this](const unsigned char* bytes,
                          std::size_t size) { return HashQueued(bytes, size); },
                   QueuedPieceSize, QueuedPieces) {}

    std::uint64_t GetSize() const override { return m_archive->GetSize(); }

    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        if (!m_archive->ReadAt(offset, buffer, size)) {
            return false;
        }
        if (!m_begun) {
            return true;
        }
        if (m_handing && offset > m_hashed && offset - m_hashed <= LargestGap &&
            m_hashed < m_length) {
            std::vector<unsigned char> gap(static_cast<std::size_t>(offset - m_hashed));
            if (!m_archive->ReadAt(m_hashed, gap.data(), gap.size())) {
                return true; // Finish reads it again and reports it
            }
            Hash(gap.data(), gap.size(), gap.size());
        }
        if (m_handing && offset <= m_hashed && offset + size > m_hashed) {
            const std::uint64_t end = std::min<std::uint64_t>(offset + size, m_length);
            if (end > m_hashed) {
                const auto* bytes = static_cast<const unsigned char*>(buffer);
                Hash(bytes + (m_hashed - offset), static_cast<std::size_t>(end - m_hashed),
                     end - m_hashed);
            }
        }
        return true;
    }

    void Begin() { m_begun = true; }

    TDigest Finish() {
        // Once the queue is finished, its thread has ended: the hash is this thread's again.
        if (!m_pieces.Finish()) {
            ThrowCryptoFailure(L"BCryptHashData", m_status);
        }
        m_sha256.AddRange(*m_archive, m_hashed, m_length);
        m_hashed = m_length;
        return m_sha256.Finish();
    }

private:
    void Hash(const unsigned char* bytes, std::size_t size, std::uint64_t advance) const {
        m_handing = m_pieces.Add(bytes, size);
        m_hashed += advance;
    }

    // On the queue's thread.
    bool HashQueued(const unsigned char* bytes, std::size_t size) {
        m_status = m_sha256.Add(bytes, size);
        return m_status == 0;
    }

    // A few reads of the reader's size, enough to even out the two threads' pace.
    static constexpr std::size_t QueuedPieceSize = 1024 * 1024;
    static constexpr std::size_t QueuedPieces = 4;

    std::shared_ptr<const CByteSource> m_archive;
    std::uint64_t m_length;
    CSha256 m_sha256;
    NTSTATUS m_status = 0;
    // Reads are const to the reader; the digest they feed is this source's own business.
    mutable std::uint64_t m_hashed = 0;
    mutable bool m_handing = true;
    bool m_begun = false;
    // Last, so that its thread has ended before anything it uses goes.
    mutable CPieceQueue m_pieces;
};

std::shared_ptr<const CByteSource> OpenHeldArchive(const std::wstring& path) {
    std::unique_ptr<CByteSource> source;
    CheckHResult(OpenFileByteSource(path, source));
    return source;
}

TKeyId GetKeyId(const TUpdateKey& key) {
    CSha256 sha256;
    CheckStatus(L"BCryptHashData", sha256.Add(key.point.data(), key.point.size()));
    const TDigest digest = sha256.Finish();
    TKeyId id{};
    std::copy_n(digest.begin(), id.size(), id.begin());
    return id;
}

CArchiveSignatureCheck::CArchiveSignatureCheck(std::shared_ptr<const CByteSource> archive,
                                               std::span<const TUpdateKey> keys)
    : m_archive(std::move(archive)) {
    try {
        m_range = LocateSignedRange(*m_archive);
    } catch (const CZipException& fault) {
        if (fault.GetFault() == ZipFault::ReadFailed) {
            ThrowUnzipError();
        }
        // Without an end record there is no place for a signature either.
        return;
    }
    std::vector<TKeyId> ids;
    std::transform(keys.begin(), keys.end(), std::back_inserter(ids), GetKeyId);
    std::size_t index = 0;
    if (const auto refusal = RefuseSignature(m_range, ids, m_block, index)) {
        m_earlyVerdict = *refusal;
        return;
    }
    m_key = keys[index];
    m_earlyVerdict = TSignatureVerdict::Valid;
    m_hashing = std::make_shared<CHashingSource>(m_archive, m_range.length);
}

CArchiveSignatureCheck::~CArchiveSignatureCheck() = default;

std::shared_ptr<const CByteSource> CArchiveSignatureCheck::GetReadingSource() {
    return m_hashing ? std::shared_ptr<const CByteSource>(m_hashing) : m_archive;
}

void CArchiveSignatureCheck::BeginDigest() {
    if (m_hashing) {
        m_hashing->Begin();
    }
}

TSignatureVerdict CArchiveSignatureCheck::Finish() {
    if (!m_hashing) {
        return m_earlyVerdict;
    }
    return VerifyDigest(m_key, m_hashing->Finish(), m_block) ? TSignatureVerdict::Valid
                                                             : TSignatureVerdict::DoesNotMatch;
}
