#include "unzip/SpaceCheck.h"

#include "common/Errors.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t GiB = 1024 * MiB;

TVolumeSpace Volume(const wchar_t* name, std::uint64_t clusterSize, std::uint64_t freeBytes,
                    std::uint64_t totalBytes) {
    return {std::wstring(name) + L"folder", name, clusterSize, freeBytes, totalBytes};
}

// The failure's text, or empty when the need fits.
std::wstring FailureOf(const CSpaceNeed& need) {
    try {
        need.Check();
    } catch (const COrvException& failure) {
        return failure.GetText();
    }
    return {};
}

} // namespace

TEST(SpaceCheck, KeepsAMarginOfOnePercentWithinBounds) {
    EXPECT_EQ(GetSpaceMargin(0), 16 * MiB);
    EXPECT_EQ(GetSpaceMargin(1 * GiB), 16 * MiB);
    EXPECT_EQ(GetSpaceMargin(10 * GiB), 10 * GiB / 100);
    EXPECT_EQ(GetSpaceMargin(1024 * GiB), 256 * MiB);
}

TEST(SpaceCheck, CountsWholeClustersOnEachVolumeAndNamesTheOneShortOfRoom) {
    // 1 GiB volumes keep 16 MiB; the files take 4 KiB + 4 KiB + 8 KiB, or 64 KiB + 64 KiB +
    // 64 KiB where clusters are 64 KiB.
    const std::uint64_t margin = 16 * MiB;
    for (const std::uint64_t freeOnSecond : {margin + 192 * 1024, margin + 192 * 1024 - 1}) {
        CSpaceNeed need({Volume(L"C:\\", 4096, margin + 16 * 1024, GiB),
                         Volume(L"D:\\", 64 * 1024, freeOnSecond, GiB)});
        for (const std::uint64_t size : {1, 4096, 4097}) {
            need.AddFile(size);
        }
        need.AddFile(0);
        const std::wstring failure = FailureOf(need);
        if (freeOnSecond == margin + 192 * 1024) {
            EXPECT_EQ(failure, L"");
        } else {
            EXPECT_EQ(failure, L"not enough space on D:\\ for D:\\folder: the update needs " +
                                   std::to_wstring(margin + 192 * 1024) + L" bytes there (" +
                                   std::to_wstring(margin) +
                                   L" of them left for other programs), " +
                                   std::to_wstring(freeOnSecond) + L" bytes are free");
        }
    }
}

TEST(SpaceCheck, ADeclaredSizeNearTheLimitDoesNotWrapIntoASmallNeed) {
    CSpaceNeed need({Volume(L"C:\\", 4096, 1024 * GiB, 2048 * GiB)});
    need.AddFile(std::numeric_limits<std::uint64_t>::max() - 1);
    need.AddFile(4096);
    EXPECT_NE(FailureOf(need), L"");
}

TEST(SpaceCheck, AsksWindowsForTheVolumeOfAFolder) {
    const TempFolder folder;
    TVolumeSpace space;
    const std::wstring path = folder.Path().wstring();
    ASSERT_TRUE(QueryVolumeSpace(path, space));
    EXPECT_EQ(space.folder, path);
    EXPECT_EQ(space.volume.back(), L'\\');
    EXPECT_GE(space.clusterSize, 512u);
    EXPECT_GT(space.totalBytes, 0u);
    EXPECT_LE(space.freeBytes, space.totalBytes);
    EXPECT_FALSE(QueryVolumeSpace(folder / L"missing", space));
}
