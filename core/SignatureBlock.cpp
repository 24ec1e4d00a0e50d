#include "core/SignatureBlock.h"

#include "core/CentralDirectory.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace {

constexpr std::string_view Tag = "Orvandel update signature v1 key=";
constexpr std::string_view SignatureField = " ecdsa-p256-sha256=";
constexpr std::string_view HexDigits = "0123456789abcdef";
constexpr std::size_t BlockLength = Tag.size() + 2 * TSignatureBlock::KeyIdSize +
                                    SignatureField.size() + 2 * TSignatureBlock::SignatureSize;

std::optional<std::uint8_t> HexValue(char digit) {
    const std::size_t value = HexDigits.find(digit);
    if (value == std::string_view::npos) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

// Only lower-case digits: one spelling per signature, so a block is either the tool's or foreign.
template <std::size_t Size>
bool DecodeHex(std::string_view text, std::array<std::uint8_t, Size>& bytes) {
    for (std::size_t at = 0; at < Size; ++at) {
        const std::optional<std::uint8_t> high = HexValue(text[2 * at]);
        const std::optional<std::uint8_t> low = HexValue(text[2 * at + 1]);
        if (!high || !low) {
            return false;
        }
        bytes[at] = static_cast<std::uint8_t>(*high << 4 | *low);
    }
    return true;
}

template <std::size_t Size>
void AppendHex(std::string& text, const std::array<std::uint8_t, Size>& bytes) {
    for (const std::uint8_t byte : bytes) {
        text += HexDigits[byte >> 4];
        text += HexDigits[byte & 0x0F];
    }
}

} // namespace

TSignedRange LocateSignedRange(const CByteSource& source) {
    TEndRecord end = FindEndRecord(source);
    TSignedRange range;
    range.length = end.offset + TEndRecord::CommentLengthAt;
    range.commentEndsFile = end.offset + TEndRecord::Size + end.comment.size() == source.GetSize();
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
        !DecodeHex(text.substr(KeyAt), block.keyId) ||
        !DecodeHex(text.substr(SignatureAt), block.signature)) {
        return TSignatureFault::Malformed;
    }
    return TSignatureFault::None;
}

std::string FormatSignatureBlock(const TSignatureBlock& block) {
    std::string text(Tag);
    AppendHex(text, block.keyId);
    text += SignatureField;
    AppendHex(text, block.signature);
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
