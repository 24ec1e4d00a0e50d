#include "core/SignatureBlock.h"

#include "core/CentralDirectory.h"
#include "core/Hex.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace {

constexpr std::string_view Tag = "Orvandel update signature v1 key=";
constexpr std::string_view SignatureField = " ecdsa-p256-sha256=";
constexpr std::size_t BlockLength = Tag.size() + 2 * TSignatureBlock::KeyIdSize +
                                    SignatureField.size() + 2 * TSignatureBlock::SignatureSize;

} // namespace

TSignedRange LocateSignedRange(const CByteSource& source) {
    TEndRecord end = FindEndRecord(source);
    TSignedRange range;
    range.length = end.offset + EndRecordCommentLengthAt;
    range.commentEndsFile = end.offset + EndRecordSize + end.comment.size() == source.GetSize();
    range.comment = std::move(end.comment);
    return range;
}

TSignatureFault ParseSignatureBlock(const TSignedRange& range, TSignatureBlock& block) {
    if (!range.commentEndsFile) {
        return TSignatureFault::Malformed;
    }
    if (range.comment.empty()) {
        return TSignatureFault::Missing;
    }
    const std::string_view text = range.comment;
    constexpr std::size_t KeyAt = Tag.size();
    constexpr std::size_t FieldAt = KeyAt + 2 * TSignatureBlock::KeyIdSize;
    constexpr std::size_t SignatureAt = FieldAt + SignatureField.size();
    if (text.size() != BlockLength || !text.starts_with(Tag) ||
        text.substr(FieldAt, SignatureField.size()) != SignatureField ||
        !ParseHex(text.substr(KeyAt, 2 * TSignatureBlock::KeyIdSize), block.keyId) ||
        !ParseHex(text.substr(SignatureAt), block.signature)) {
        return TSignatureFault::Malformed;
    }
    return TSignatureFault::None;
}

std::string FormatSignatureBlock(const TSignatureBlock& block) {
    std::string text(Tag);
    text += FormatHex(block.keyId);
    text += SignatureField;
    text += FormatHex(block.signature);
    return text;
}

std::optional<TSignatureVerdict> RefuseSignature(const TSignedRange& range,
                                                 std::span<const TKeyId> acceptedKeys,
                                                 TSignatureBlock& block, std::size_t& index) {
    switch (ParseSignatureBlock(range, block)) {
    case TSignatureFault::None:
        break;
    case TSignatureFault::Missing:
        return TSignatureVerdict::NoSignature;
    case TSignatureFault::Malformed:
        return TSignatureVerdict::Malformed;
    }
    const auto key = std::find(acceptedKeys.begin(), acceptedKeys.end(), block.keyId);
    if (key == acceptedKeys.end()) {
        return TSignatureVerdict::UnknownKey;
    }
    index = static_cast<std::size_t>(key - acceptedKeys.begin());
    return std::nullopt;
}

TSignatureVerdict DecideSignature(const TSignedRange& range, std::span<const TKeyId> acceptedKeys,
                                  const TSignatureCheck& verify) {
    TSignatureBlock block;
    std::size_t index = 0;
    if (const auto refusal = RefuseSignature(range, acceptedKeys, block, index)) {
        return *refusal;
    }
    return verify(block, index) ? TSignatureVerdict::Valid : TSignatureVerdict::DoesNotMatch;
}

const char* GetSignatureVerdictText(TSignatureVerdict verdict) {
    switch (verdict) {
    case TSignatureVerdict::Valid:
        return "valid";
    case TSignatureVerdict::NoSignature:
        return "no signature";
    case TSignatureVerdict::Malformed:
        break;
    case TSignatureVerdict::UnknownKey:
        return "unknown key";
    case TSignatureVerdict::DoesNotMatch:
        return "does not match";
    }
    return "malformed";
}
