#include "release/ArchiveSigning.h"

#include "core/ZipFault.h"

#include <array>

TSignOutcome SignArchive(CDiskFile& archive, const CSigningKey& key) {
    const TSignedRange range = LocateSignedRange(archive);
    TSignatureBlock block;
    const TSignatureFault earlier = ParseSignatureBlock(range, block);
    if (earlier == TSignatureFault::Malformed) {
        return TSignOutcome::Foreign;
    }
    block.keyId = key.GetKeyId();
    block.signature = key.Sign(DigestRange(archive, range.length));
    const std::string text = FormatSignatureBlock(block);
    std::string tail{static_cast<char>(text.size() & 0xFF), static_cast<char>(text.size() >> 8)};
    tail += text;
    archive.ReplaceTail(range.length, tail);
    return earlier == TSignatureFault::None ? TSignOutcome::Replaced : TSignOutcome::Signed;
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
