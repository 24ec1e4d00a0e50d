#include "core/SignatureBlock.h"
#include "core/ZipFault.h"

#include "support/TestZipWriter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TSignedRange Locate(const std::string& bytes) {
    return LocateSignedRange(
        CMemoryByteSource(std::vector<unsigned char>(bytes.begin(), bytes.end())));
}

TSignatureBlock SampleBlock() {
    TSignatureBlock block;
    for (std::size_t at = 0; at < block.keyId.size(); ++at) {
        block.keyId[at] = static_cast<std::uint8_t>(0xF0 + at);
    }
    for (std::size_t at = 0; at < block.signature.size(); ++at) {
        block.signature[at] = static_cast<std::uint8_t>(at * 37);
    }
    return block;
}

TSignedRange RangeWithComment(const std::string& comment, bool endsFile = true) {
    return {100, comment, endsFile};
}

} // namespace

TEST(SignatureBlock, CoversEverythingUpToTheCommentLength) {
    const std::string comment = "some comment";
    TTestArchive plain{{{"setup.exe", "MZ"}, {"data.bin", "payload"}}};
    plain.comment = comment;
    const std::string bytes = BuildZip(plain);
    const TSignedRange range = Locate(bytes);
    EXPECT_EQ(range.length, bytes.size() - comment.size() - 2);
    EXPECT_EQ(bytes.substr(range.length - 20, 4), "PK\x05\x06");
    EXPECT_EQ(range.comment, comment);
    EXPECT_TRUE(range.commentEndsFile);

    // Zip64: the Zip64 end record and its locator lie inside the range, before the end record.
    TTestArchive zip64{{{"setup.exe", "MZ", 0, 0, true}}};
    zip64.zip64End = true;
    const std::string large = BuildZip(zip64);
    const TSignedRange largeRange = Locate(large);
    EXPECT_EQ(largeRange.length, large.size() - 2);
    EXPECT_EQ(large.rfind("PK\x06\x07"), largeRange.length - 20 - 20);
    EXPECT_LT(large.rfind("PK\x06\x06"), large.rfind("PK\x06\x07"));
    EXPECT_TRUE(largeRange.comment.empty());

    // Bytes after the comment are found, not ignored.
    EXPECT_FALSE(Locate(bytes + "tail").commentEndsFile);
    EXPECT_EQ(Locate(bytes + "tail").length, range.length);
    EXPECT_THROW(Locate("not an archive at all, not even close"), CZipException);
}

TEST(SignatureBlock, FormatsAndParsesTheOneSpelling) {
    const TSignatureBlock block = SampleBlock();
    const std::string text = FormatSignatureBlock(block);
    EXPECT_EQ(text.substr(0, 50), "Orvandel update signature v1 key=f0f1f2f3f4f5f6f7 ");
    EXPECT_EQ(text.size(), 196u);
    TSignatureBlock parsed;
    EXPECT_EQ(ParseSignatureBlock(RangeWithComment(text), parsed), TSignatureFault::None);
    EXPECT_EQ(parsed, block);

    std::string upper = text;
    upper[33] = 'F'; // the key id's first digit
    std::string otherVersion = text;
    otherVersion[27] = '2';
    std::string nonHex = text;
    nonHex[40] = 'g';
    const struct {
        std::string comment;
        bool endsFile;
        TSignatureFault fault;
    } cases[] = {
        {"", true, TSignatureFault::Missing},
        {"", false, TSignatureFault::Malformed},
        {text, false, TSignatureFault::Malformed},
        {text + text, true, TSignatureFault::Malformed},
        {text + " ", true, TSignatureFault::Malformed},
        {text.substr(0, text.size() - 2), true, TSignatureFault::Malformed},
        {upper, true, TSignatureFault::Malformed},
        {otherVersion, true, TSignatureFault::Malformed},
        {nonHex, true, TSignatureFault::Malformed},
        {"Orvandel update signature v1", true, TSignatureFault::Malformed},
    };
    for (const auto& entry : cases) {
        TSignatureBlock ignored;
        EXPECT_EQ(ParseSignatureBlock(RangeWithComment(entry.comment, entry.endsFile), ignored),
                  entry.fault)
            << entry.comment;
    }
}

TEST(SignatureBlock, DecidesWithTheAcceptedKeys) {
    const TSignatureBlock block = SampleBlock();
    const TSignedRange signedRange = RangeWithComment(FormatSignatureBlock(block));
    const TKeyId other{1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<TKeyId> rotation = {other, block.keyId};
    std::vector<std::size_t> asked;
    const auto verifier = [&asked](bool matches) {
        return [&asked, matches](const TSignatureBlock&, std::size_t index) {
            asked.push_back(index);
            return matches;
        };
    };
    EXPECT_EQ(DecideSignature(signedRange, rotation, verifier(true)), TSignatureVerdict::Valid);
    EXPECT_EQ(DecideSignature(signedRange, rotation, verifier(false)),
              TSignatureVerdict::DoesNotMatch);
    EXPECT_EQ(asked, (std::vector<std::size_t>{1, 1}));
    EXPECT_EQ(DecideSignature(signedRange, std::vector<TKeyId>{other}, verifier(true)),
              TSignatureVerdict::UnknownKey);
    EXPECT_EQ(DecideSignature(RangeWithComment(""), rotation, verifier(true)),
              TSignatureVerdict::NoSignature);
    EXPECT_EQ(DecideSignature(RangeWithComment("PK\x05\x06"), rotation, verifier(true)),
              TSignatureVerdict::Malformed);
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_STREQ(GetSignatureVerdictText(TSignatureVerdict::DoesNotMatch), "does not match");
}
