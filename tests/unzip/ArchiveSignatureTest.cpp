#include "unzip/ArchiveSignature.h"
#include "unzip/Unzipper.h"

#include "UnpackTestSupport.h"
#include "support/TempFolder.h"
#include "support/TestZipWriter.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

// The generator point of P-256: a public key that CNG accepts (its private key is 1) and whose
// signatures no test can make, so only the refusals are tried here; the end-to-end tests sign.
constexpr TUpdateKey Generator = {{
    0x04, 0x6b, 0x17, 0xd1, 0xf2, 0xe1, 0x2c, 0x42, 0x47, 0xf8, 0xbc, 0xe6, 0xe5,
    0x63, 0xa4, 0x40, 0xf2, 0x77, 0x03, 0x7d, 0x81, 0x2d, 0xeb, 0x33, 0xa0, 0xf4,
    0xa1, 0x39, 0x45, 0xd8, 0x98, 0xc2, 0x96, 0x4f, 0xe3, 0x42, 0xe2, 0xfe, 0x1a,
    0x7f, 0x9b, 0x8e, 0xe7, 0xeb, 0x4a, 0x7c, 0x0f, 0x9e, 0x16, 0x2b, 0xce, 0x33,
    0x57, 0x6b, 0x31, 0x5e, 0xce, 0xcb, 0xb6, 0x40, 0x68, 0x37, 0xbf, 0x51, 0xf5,
}};

} // namespace

TEST(ArchiveSignature, KeyIdIsTheStartOfTheSha256OfThePoint) {
    EXPECT_EQ(GetKeyId(Generator), (TKeyId{0x69, 0x8b, 0xea, 0x63, 0xdc, 0x44, 0xa3, 0x44}));
}

TEST(ArchiveSignature, NobodyWritesRenamesOrDeletesAHeldArchive) {
    const TempFolder folder;
    const std::wstring path = folder / L"update.zip";
    WriteTextFile(path, "archive");
    const std::shared_ptr<const CByteSource> held = OpenHeldArchive(path);
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    EXPECT_TRUE(CFileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr))
                    .IsValid());
    EXPECT_FALSE(CFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, shareAll, nullptr,
                                         OPEN_EXISTING, 0, nullptr))
                     .IsValid());
    EXPECT_FALSE(MoveFileW(path.c_str(), (folder / L"other.zip").c_str()));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(ReadTextFile(path), "archive");
}

// A refusal that needs no digest comes before anything is written; a digest that does not match
// fails the unpack, and the unpacker removes what it wrote.
TEST(ArchiveSignature, UnpackerWithKeysFailsAndLeavesNothing) {
    const TUpdateKey keys[] = {Generator};
    TSignatureBlock foreign;
    foreign.keyId = {1, 2, 3, 4, 5, 6, 7, 8};
    TSignatureBlock forged;
    forged.keyId = GetKeyId(Generator);
    forged.signature.fill(0x5a);
    const struct {
        std::string comment;
        std::wstring verdict;
    } cases[] = {
        {"", L"no signature"},
        {"Orvandel update signature v1", L"malformed"},
        {FormatSignatureBlock(foreign), L"unknown key"},
        {FormatSignatureBlock(forged), L"does not match"},
    };
    for (const auto& entry : cases) {
        const TempFolder folder;
        TTestArchive archive{{{"setup.exe", "MZ"}, {"data/file.txt", "data"}}};
        archive.comment = entry.comment;
        WriteTextFile(folder / L"update.zip", BuildZip(archive));
        {
            CUnzipper unzipper;
            unzipper.SetAcceptedKeys(keys);
            UnpackToEnd(unzipper, folder / L"update.zip", folder / L"out");

            EXPECT_TRUE(unzipper.HasFailed());
            EXPECT_EQ(unzipper.GetErrorText(), L"the archive's signature: " + entry.verdict);
            EXPECT_EQ(std::filesystem::exists(folder.Path() / "out"),
                      entry.verdict == L"does not match");
        }
        EXPECT_FALSE(std::filesystem::exists(folder.Path() / "out"));
    }
}
