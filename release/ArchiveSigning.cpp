#include "release/ArchiveSigning.h"

#include "core/ZipFault.h"
#include "release/FileDescriptor.h"
#include "release/PendingFile.h"
#include "release/ToolError.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace {

constexpr std::size_t CopyPieceSize = 1 << 20;

struct TSignedTail {
    std::uint64_t offset = 0; // where the signed range ends and the tail begins
    std::string bytes;        // the comment length and the signature block
    TSignOutcome outcome = TSignOutcome::Signed;
};

// What takes the place of everything past the signed range; the outcome Foreign, with no bytes,
// where the comment holds something else, which signing would destroy.
TSignedTail MakeSignedTail(const CByteSource& archive, const CSigningKey& key) {
    const TSignedRange range = LocateSignedRange(archive);
    TSignatureBlock block;
    const TSignatureFault earlier = ParseSignatureBlock(range, block);
    if (earlier == TSignatureFault::Malformed) {
        return {range.length, std::string(), TSignOutcome::Foreign};
    }
    block.keyId = key.GetKeyId();
    block.signature = key.Sign(DigestRange(archive, range.length));
    const std::string text = FormatSignatureBlock(block);
    std::string tail{static_cast<char>(text.size() & 0xFF), static_cast<char>(text.size() >> 8)};
    tail += text;
    return {range.length, tail,
            earlier == TSignatureFault::None ? TSignOutcome::Replaced : TSignOutcome::Signed};
}

} // namespace

TSignOutcome SignArchive(CDiskFile& archive, const CSigningKey& key) {
    const TSignedTail tail = MakeSignedTail(archive, key);
    if (tail.outcome != TSignOutcome::Foreign) {
        archive.ReplaceTail(tail.offset, tail.bytes);
    }
    return tail.outcome;
}

TSignOutcome SignArchiveFile(const std::string& path, const CSigningKey& key) {
    const CDiskFile archive(path, CDiskFile::TAccess::Read);
    const TSignedTail tail = MakeSignedTail(archive, key);
    if (tail.outcome == TSignOutcome::Foreign) {
        return tail.outcome;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        ThrowFileError("cannot read", path);
    }
    CPendingFile signedCopy(path, status.st_mode & 07777);
    // Whoever owned the archive owns the signed one; only root can give it away, and a copy that
    // stays the signer's is no fault.
    static_cast<void>(fchown(signedCopy.GetDescriptor(), status.st_uid, status.st_gid));
    std::vector<char> piece(CopyPieceSize);
    for (std::uint64_t offset = 0; offset < tail.offset;) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), tail.offset - offset));
        if (!archive.ReadAt(offset, piece.data(), size)) {
            throw CToolError("cannot read " + path + " to the end");
        }
        WriteAt(signedCopy.GetDescriptor(), offset, std::string_view(piece.data(), size),
                signedCopy.GetPath());
        offset += size;
    }
    WriteAt(signedCopy.GetDescriptor(), tail.offset, tail.bytes, signedCopy.GetPath());
    signedCopy.Commit();
    return tail.outcome;
}

TSignatureVerdict VerifyArchive(const CByteSource& archive, const CSigningKey& key) {
    TSignedRange range;
    try {
        range = LocateSignedRange(archive);
    } catch (const CZipException& fault) {
        if (fault.GetFault() == ZipFault::ReadFailed) {
            throw;
        }
        // As in the updater: without an end record there is no place for a signature either.
        return TSignatureVerdict::Malformed;
    }
    const std::array<TKeyId, 1> accepted{key.GetKeyId()};
    return DecideSignature(range, accepted, [&](const TSignatureBlock& block, std::size_t) {
        return key.Verify(DigestRange(archive, range.length), block.signature);
    });
}
