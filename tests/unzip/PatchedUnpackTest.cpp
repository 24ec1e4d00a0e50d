#include "common/Sha256.h"
#include "core/BinaryPatch.h"
#include "core/Hex.h"
#include "unzip/ReleaseCheck.h"
#include "unzip/Unzipper.h"

#include "UnpackTestSupport.h"
#include "support/TempFolder.h"
#include "support/TestZipWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace fs = std::filesystem;

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Pattern(std::size_t size, std::uint32_t seed) {
    TBytes bytes(size);
    for (std::uint8_t& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

std::string AsText(const TBytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string DigestHex(const TBytes& bytes) {
    CSha256 sha256;
    sha256.Add(bytes.data(), bytes.size());
    return FormatHex(sha256.Finish());
}

// The installed file (12 MiB), the file of the new version (its first half changed every 4093
// bytes, 1 MiB of new bytes, then its second half as it was) and the patch between them: more
// than one piece of the patch, more than one of the made file's chunks.
struct TPatchedPair {
    static constexpr std::size_t Half = 6 * 1024 * 1024;
    TBytes old = Pattern(2 * Half, 1);
    TBytes made;
    TBytes added;
    TBytes inserted = Pattern(1024 * 1024, 2);

    TPatchedPair() {
        made.assign(old.begin(), old.begin() + Half);
        added.assign(Half, 0);
        for (std::size_t at = 0; at < Half; at += 4093) {
            added[at] = 0x11;
            made[at] = static_cast<std::uint8_t>(made[at] + 0x11);
        }
        made.insert(made.end(), inserted.begin(), inserted.end());
        made.insert(made.end(), old.begin() + Half, old.end());
    }

    std::string Patch(std::int64_t lastSeek = 0, std::uint64_t newSize = 0) const {
        std::string patch;
        AppendPatchHeader(patch, old.size(), newSize != 0 ? newSize : made.size());
        AppendPatchRecord(patch, {Half, inserted.size(), 0}, added, inserted);
        AppendPatchRecord(patch, {Half, 0, lastSeek}, TBytes(Half, 0), {});
        return patch;
    }
};

struct TPatchedCase {
    const char* what;
    std::function<std::string(const TPatchedPair&)> patch;
    std::function<std::string(const TPatchedPair&)> to; // the description's TO
    std::wstring cause;                                 // empty: unpacked
};

} // namespace

TEST(PatchedUnpack, MakesThePatchedFileInTheExtractionFolderOrFailsAsADamagedArchive) {
    const TPatchedPair pair;
    const auto soundTo = [](const TPatchedPair& p) { return DigestHex(p.made); };
    const std::vector<TPatchedCase> cases = {
        {"sound", [](const TPatchedPair& p) { return p.Patch(); }, soundTo, L""},
        {"a made file other than the described", [](const TPatchedPair& p) { return p.Patch(); },
         [](const TPatchedPair& p) { return DigestHex(p.old); },
         L"lib/data.bin: the patch made a file other than the one that the release description "
         L"names"},
        {"a seek out of the old file", [](const TPatchedPair& p) { return p.Patch(1); }, soundTo,
         L"lib/data.bin: the patch seeks past the end of the old file"},
        {"cut short",
         [](const TPatchedPair& p) {
             const std::string patch = p.Patch();
             return patch.substr(0, patch.size() - 100);
         },
         soundTo, L"lib/data.bin: the patch ends after"},
        {"a size other than the described",
         [](const TPatchedPair& p) { return p.Patch(0, p.made.size() + 1); }, soundTo,
         L"lib/data.bin: the patch makes"},
    };
    for (const TPatchedCase& test : cases) {
        TempFolder temp;
        const std::wstring app = temp / L"App";
        fs::create_directories(app + L"\\lib");
        WriteTextFile(app + L"\\orvandel-release.txt",
                      "orvandel-release 1\nversion 1.0\nfile setup.exe\nfile lib/data.bin\n");
        WriteTextFile(app + L"\\lib\\data.bin", AsText(pair.old));
        const std::string description =
            "orvandel-release 2\nversion 2.0\nbase 1.0\nfile setup.exe\nfile lib/data.bin\n"
            "patch lib/data.bin " +
            DigestHex(pair.old) + ' ' + test.to(pair) + ' ' + std::to_string(pair.made.size()) +
            '\n';
        TTestArchive archive;
        archive.entries = {{"orvandel-release.txt", description, 8},
                           {"setup.exe", "MZ", 0},
                           {"lib/data.bin", test.patch(pair), 8}};
        const std::wstring archivePath = temp / L"update.zip";
        std::ofstream(fs::path(archivePath), std::ios::binary) << BuildZip(archive);

        const std::wstring destination = temp / L"dest";
        CReleaseCheck release(app, false);
        {
            CUnzipper unzipper;
            unzipper.SetReleaseCheck(&release);
            UnpackToEnd(unzipper, archivePath, destination);
            if (test.cause.empty()) {
                EXPECT_EQ(unzipper.GetErrorText(), L"") << unzipper.GetErrorCause();
                EXPECT_EQ(ReadTextFile(destination + L"\\lib\\data.bin"), AsText(pair.made))
                    << test.what;
                EXPECT_TRUE(release.Describe().find(L"1 file comes as patches") !=
                            std::wstring::npos)
                    << release.Describe();
            } else {
                EXPECT_EQ(unzipper.GetErrorText(), L"Cannot unzip the downloaded archive.")
                    << test.what;
                EXPECT_EQ(unzipper.GetErrorCause().substr(0, test.cause.size()), test.cause)
                    << test.what << ": " << fs::path(unzipper.GetErrorCause()).string();
            }
        }
        EXPECT_FALSE(fs::exists(destination)) << test.what << ": the extraction was left behind";
        EXPECT_EQ(ReadTextFile(app + L"\\lib\\data.bin"), AsText(pair.old)) << test.what;
    }
}
