#include "unzip/ArchiveSignature.h"

#include "common/EcdsaP256.h"
#include "common/Errors.h"
#include "common/PieceQueue.h"
#include "common/Sha256.h"
#include "core/ZipFault.h"
#include "zip/FileByteSource.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

// A skip this small between two reads (a local header's extra field, a data descriptor) is
// read to keep the digest going; the reader's look at the central directory is not.
constexpr std::uint64_t LargestGap = 256 * 1024;

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

    TSha256Digest Finish() {
        // Once the queue is finished, its thread has ended: the hash is this thread's again.
        if (!m_pieces.Finish()) {
            // Empty where even the reason found no memory.
            if (m_failure.empty()) {
                ThrowOutOfMemory();
            }
            throw COrvException(m_failure, 0);
        }
        if (!m_sha256.AddRange(*m_archive, m_hashed, m_length)) {
            ThrowUnzipError();
        }
        m_hashed = m_length;
        return m_sha256.Finish();
    }

private:
    void Hash(const unsigned char* bytes, std::size_t size, std::uint64_t advance) const {
        m_handing = m_pieces.Add(bytes, size);
        m_hashed += advance;
    }

    // On the queue's thread; what failed there is thrown on the reader's by Finish.
    bool HashQueued(const unsigned char* bytes, std::size_t size) {
        try {
            m_sha256.Add(bytes, size);
            return true;
        } catch (const COrvException& failure) {
            m_failure = failure.GetText();
            return false;
        }
    }

    // A few reads of the reader's size, enough to even out the two threads' pace.
    static constexpr std::size_t QueuedPieceSize = 1024 * 1024;
    static constexpr std::size_t QueuedPieces = 4;

    std::shared_ptr<const CByteSource> m_archive;
    std::uint64_t m_length;
    CSha256 m_sha256;
    std::wstring m_failure;
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
    sha256.Add(key.point.data(), key.point.size());
    const TSha256Digest digest = sha256.Finish();
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
    return VerifyP256Signature(m_key.point, m_hashing->Finish(), m_block.signature)
               ? TSignatureVerdict::Valid
               : TSignatureVerdict::DoesNotMatch;
}
