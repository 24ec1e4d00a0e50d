#include "common/FileHelpers.h"
#include "unzip/ReleaseCheck.h"
#include "unzip/UnpackWalk.h"
#include "unzip/Unzipper.h"

#include "UnpackTestSupport.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const std::wstring UnzipError = L"Cannot unzip the downloaded archive.";
constexpr std::uint64_t AllBits = ~std::uint64_t{0};

std::string TestName(const testing::TestParamInfo<std::wstring>& info) {
    std::string name;
    for (const wchar_t ch : info.param.substr(0, info.param.size() - 4)) {
        name += std::isalnum(ch) ? static_cast<char>(ch) : '_';
    }
    return name;
}

// Files done and bytes done never go back, and the totals never change after counting.
void ExpectSteadyProgress(const std::vector<TRecord>& records) {
    for (std::size_t i = 2; i < records.size(); ++i) {
        const auto& [files, count, bytes, total] = records[i];
        const auto& [lastFiles, lastCount, lastBytes, lastTotal] = records[i - 1];
        EXPECT_GE(files, lastFiles);
        EXPECT_LE(files - lastFiles, 1);
        EXPECT_GE(bytes, lastBytes);
        EXPECT_LE(bytes - lastBytes, ChunkSizeLimit);
        EXPECT_EQ(count, lastCount);
        EXPECT_EQ(total, lastTotal);
    }
}

// Where the escaping names of the hostile archives would land outside the temporary folder.
std::vector<std::wstring> EscapeTargets() {
    const std::wstring current = fs::current_path().wstring();
    return {L"C:\\orvandel-escape.txt", L"Z:\\orvandel-escape.txt",
            current.substr(0, 3) + L"orvandel-escape.txt", current + L"\\orvandel-escape.txt"};
}

} // namespace

class GoodArchive : public testing::TestWithParam<std::wstring> {};

TEST_P(GoodArchive, UnpacksAsInfoZipDoesAndLeavesNothingBehind) {
    const std::wstring& archive = GetParam();
    const auto expected =
        DescribeTree(FixturePath(archive.substr(0, archive.size() - 4) + L".expected"));
    ASSERT_FALSE(expected.empty());
    int files = 0;
    std::uint64_t bytes = 0;
    std::set<std::wstring> paths;
    TempFolder temp;
    const std::wstring destination = temp / L"dest";
    for (const auto& [relative, entry] : expected) {
        files += entry.isFolder ? 0 : 1;
        bytes += entry.size;
        paths.insert(destination + L"\\" + relative);
    }
    {
        CUnzipper unzipper;
        UnpackToEnd(unzipper, FixturePath(archive), destination);
        EXPECT_EQ(unzipper.GetErrorText(), L"");
        EXPECT_EQ(DescribeTree(destination), expected);
        EXPECT_EQ(unzipper.GetRootItem()->GetPath(), destination);
        EXPECT_FALSE(unzipper.GetRootItem()->IsFile());
        EXPECT_EQ(RecordedPaths(*unzipper.GetRootItem()), paths);

        const std::vector<TRecord> records = ProgressRecords(unzipper);
        ASSERT_GE(records.size(), 3u);
        EXPECT_EQ(records[0], (TRecord{-1, -1, AllBits, AllBits}));
        EXPECT_EQ(records[1], (TRecord{0, files, 0, bytes}));
        EXPECT_EQ(records.back(), (TRecord{files, files, bytes, bytes}));
        ExpectSteadyProgress(records);
    }
    EXPECT_TRUE(fs::is_empty(temp.Path())) << "the unpacker left its extraction behind";
}

INSTANTIATE_TEST_SUITE_P(Fixtures, GoodArchive, testing::ValuesIn(ListFixtures(L"good-")),
                         TestName);

class HostileArchive : public testing::TestWithParam<std::wstring> {};

TEST_P(HostileArchive, IsRefusedWithoutWritingOutsideTheDestination) {
    TempFolder temp;
    const std::wstring destination = temp / L"dest";
    {
        CUnzipper unzipper;
        UnpackToEnd(unzipper, FixturePath(GetParam()), destination);
        EXPECT_EQ(unzipper.GetErrorText(), UnzipError);
        // The log says why, whichever the fault.
        EXPECT_NE(unzipper.GetErrorCause(), L"");
        std::set<std::wstring> onDisk;
        for (const auto& [relative, entry] : DescribeTree(temp.Path())) {
            EXPECT_TRUE(relative == L"dest" || relative.starts_with(L"dest\\"))
                << fs::path(relative).string();
            onDisk.insert(temp / relative);
        }
        std::set<std::wstring> recorded = RecordedPaths(*unzipper.GetRootItem());
        if (!onDisk.empty()) {
            recorded.insert(unzipper.GetRootItem()->GetPath());
        }
        EXPECT_EQ(onDisk, recorded) << "written but not recorded";
    }
    EXPECT_TRUE(fs::is_empty(temp.Path())) << "the unpacker left its extraction behind";
    for (const std::wstring& target : EscapeTargets()) {
        EXPECT_FALSE(PathExists(target)) << fs::path(target).string();
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, HostileArchive, testing::ValuesIn(ListFixtures(L"hostile-")),
                         TestName);

class NotAnUpdate : public testing::TestWithParam<std::wstring> {};

TEST_P(NotAnUpdate, EndsQuietlyWithNothingWritten) {
    TempFolder temp;
    const std::wstring destination = temp / L"dest";
    {
        CUnzipper unzipper;
        UnpackToEnd(unzipper, FixturePath(GetParam()), destination);
        EXPECT_EQ(unzipper.GetErrorText(), L"");
        EXPECT_EQ(unzipper.GetRootItem()->GetPath(), L"");
        EXPECT_EQ(unzipper.GetRootItem()->GetChildCount(), 0);
        EXPECT_EQ(ProgressRecords(unzipper), (std::vector<TRecord>{{-1, -1, AllBits, AllBits}}));
    }
    EXPECT_TRUE(fs::is_empty(temp.Path()));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NotAnUpdate, testing::ValuesIn(ListFixtures(L"notupdate-")),
                         TestName);

// The release tool's check refuses each of these as well: both read the description with the
// same parser and hold the archive's files against it with the same listing.
class RefusedDescription : public testing::TestWithParam<std::wstring> {};

TEST_P(RefusedDescription, IsRefusedBeforeAnythingIsWritten) {
    TempFolder temp;
    CReleaseCheck release(std::nullopt, false, std::wstring());
    {
        CUnzipper unzipper;
        unzipper.SetReleaseCheck(&release);
        UnpackToEnd(unzipper, FixturePath(GetParam()), temp / L"dest");
        EXPECT_NE(unzipper.GetErrorText(), L"");
    }
    EXPECT_TRUE(fs::is_empty(temp.Path()));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RefusedDescription, testing::ValuesIn(ListFixtures(L"refused-")),
                         TestName);

TEST(LargeArchive, UnpacksAnEntryBeyondFourGiB) {
    constexpr std::uint64_t entrySize = (4ull << 30) + ChunkSizeLimit + 3;
    constexpr std::uint64_t total = entrySize + 12;
    TempFolder temp;
    const std::wstring destination = temp / L"dest";
    {
        CUnzipper unzipper;
        UnpackToEnd(unzipper, LARGE_FIXTURE, destination);
        EXPECT_EQ(unzipper.GetErrorText(), L"");

        const std::vector<TRecord> records = ProgressRecords(unzipper);
        ASSERT_GE(records.size(), 3u);
        EXPECT_EQ(records[1], (TRecord{0, 2, 0, total}));
        EXPECT_EQ(records.back(), (TRecord{2, 2, total, total}));
        ExpectSteadyProgress(records);

        const std::wstring entry = destination + L"\\large\\zeros.bin";
        ASSERT_EQ(fs::file_size(entry), entrySize);
        std::ifstream file(fs::path(entry), std::ios::binary);
        std::vector<char> block(16 << 20);
        std::uint64_t zeros = 0;
        while (file.read(block.data(), static_cast<std::streamsize>(block.size())) ||
               file.gcount() > 0) {
            const auto end = block.begin() + file.gcount();
            ASSERT_TRUE(std::all_of(block.begin(), end, [](char c) { return c == 0; }))
                << "non-zero data near offset " << zeros;
            zeros += static_cast<std::uint64_t>(file.gcount());
        }
        EXPECT_EQ(zeros, entrySize);
    }
    EXPECT_TRUE(fs::is_empty(temp.Path())) << "the 4 GiB file was left behind";
}
