#pragma once

#include "core/ByteSource.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <tuple>

// An update's signature lives in the zip end record's comment, so the archive stays an ordinary
// zip. The comment is exactly
//   Orvandel update signature v1 key=<16 lowercase hex> ecdsa-p256-sha256=<128 lowercase hex>
// and nothing follows it in the file. It is plain ASCII, so no reader can take any part of it
// for an end record. This is the format's only definition: the updater and the release tool
// both read and write it here.

// The key id is the first 8 bytes of SHA-256 over the key's uncompressed point (0x04||X||Y);
// the signature is r||s, big-endian, over the SHA-256 digest of the signed range.
using TKeyId = std::array<std::uint8_t, 8>;

struct TSignatureBlock {
    static constexpr std::size_t KeyIdSize = std::tuple_size_v<TKeyId>;
    static constexpr std::size_t SignatureSize = 64;

    TKeyId keyId{};
    std::array<std::uint8_t, SignatureSize> signature{};

    bool operator==(const TSignatureBlock&) const = default;
};

// The signed bytes are [0, length): every entry, the central directory, any Zip64 records and
// the end record's fields up to, not including, its comment length. A signer writes the new
// comment length and the block right there.
struct TSignedRange {
    std::uint64_t length = 0;
    std::string comment;
    bool commentEndsFile = false; // nothing lies after the comment
};

// Uses the reader's own end-record search, so the record checked is the record read. Throws
// CZipException when the file holds no end record.
TSignedRange LocateSignedRange(const CByteSource& source);

enum class TSignatureFault {
    None,      // one well-formed block that ends the file
    Missing,   // no comment at all
    Malformed, // anything else
};

TSignatureFault ParseSignatureBlock(const TSignedRange& range, TSignatureBlock& block);
// The comment text of the block, without the comment length before it.
std::string FormatSignatureBlock(const TSignatureBlock& block);

// What the check decided, in the words that the updater logs and the tool prints.
enum class TSignatureVerdict {
    Valid,
    NoSignature,
    Malformed,
    UnknownKey,
    DoesNotMatch,
};

// The refusals that need no cryptography: none when the block is well-formed and its key is
// accepted key [index]; only its signature is then left to verify.
std::optional<TSignatureVerdict> RefuseSignature(const TSignedRange& range,
                                                 std::span<const TKeyId> acceptedKeys,
                                                 TSignatureBlock& block, std::size_t& index);

// The whole decision but the cryptography, so that the updater and the tool decide alike.
// verify says whether the block's signature by accepted key [index] matches the range's bytes;
// it is only asked for a well-formed block by a key among those accepted.
using TSignatureCheck = std::function<bool(const TSignatureBlock& block, std::size_t index)>;
TSignatureVerdict DecideSignature(const TSignedRange& range, std::span<const TKeyId> acceptedKeys,
                                  const TSignatureCheck& verify);

const char* GetSignatureVerdictText(TSignatureVerdict verdict);
