#include "common/Buffers.h"
#include "common/Errors.h"
#include "common/Guid.h"
#include "common/PathHelpers.h"
#include "common/SystemErrors.h"
#include "common/TextHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <set>

namespace {

std::wstring DirectoryOf(const std::wstring& path, const std::wstring& initial = L"") {
    std::wstring out = initial;
    GetDirectoryPart(path, out);
    return out;
}

} // namespace

TEST(GetDirectoryPart, SplitsAtTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(DirectoryOf(L"C:\\Tools\\app.exe"), L"C:\\Tools");
    EXPECT_EQ(DirectoryOf(L"C:/Tools/app.exe"), L"C:\\Tools");
    EXPECT_EQ(DirectoryOf(L"C:\\Tools\\"), L"C:\\Tools");
    EXPECT_EQ(DirectoryOf(L"\\app.exe", L"kept"), L"");
    EXPECT_EQ(DirectoryOf(L"app.exe"), L"");
    EXPECT_EQ(DirectoryOf(L"app.exe", L"kept"), L"kept");
}

TEST(GetDirectoryPart, HasNoLengthLimit) {
    std::wstring directory = L"C:";
    while (directory.size() < 20000) {
        directory += L"\\folder-with-a-long-name";
    }
    EXPECT_EQ(DirectoryOf(directory + L"/app.exe"), directory);
}

TEST(JoinPath, PutsOneSeparatorBetweenFolderAndName) {
    const struct {
        const wchar_t* folder;
        const wchar_t* joined;
    } cases[] = {
        {L"C:\\App", L"C:\\App\\name"},
        {L"C:\\App\\", L"C:\\App\\name"},
        {L"C:", L"C:\\name"},
        {L"\\", L"\\name"},
        {L"", L"name"},
        {L"a", L"a\\name"},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(JoinPath(each.folder, L"name"), each.joined) << each.folder;
    }
}

TEST(ForEachChar, StopsAtTheCountAndAtTheTerminator) {
    wchar_t text[] = L"a/b/c";
    ForEachChar(text, 3, SlashToBackslash);
    EXPECT_STREQ(text, L"a\\b/c");
    ForEachChar(text, 0, SlashToBackslash);
    ForEachChar(text, -1, SlashToBackslash);
    EXPECT_STREQ(text, L"a\\b/c");

    wchar_t withZero[] = {L'/', L'\0', L'/', L'\0'};
    ForEachChar(withZero, 4, SlashToBackslash);
    EXPECT_EQ(withZero[0], L'\\');
    EXPECT_EQ(withZero[2], L'/') << "a character after the terminator was visited";

    SlashToBackslash(nullptr);
}

TEST(CreateGuidString, GivesDistinctUpperCaseRegistryFormGuids) {
    std::set<std::wstring> seen;
    for (int i = 0; i < 2; ++i) {
        std::wstring guid;
        CreateGuidString(guid);
        ASSERT_EQ(guid.size(), 38u) << guid.c_str();
        EXPECT_EQ(guid.front(), L'{');
        EXPECT_EQ(guid.back(), L'}');
        for (std::size_t position = 1; position < 37; ++position) {
            const wchar_t ch = guid[position];
            if (position == 9 || position == 14 || position == 19 || position == 24) {
                EXPECT_EQ(ch, L'-') << position;
            } else {
                EXPECT_TRUE((ch >= L'0' && ch <= L'9') || (ch >= L'A' && ch <= L'F'))
                    << "position " << position;
            }
        }
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 2u);
}

TEST(SystemErrorText, GivesTheSystemsTextOrLeavesTheOutputAlone) {
    std::wstring text = L"previous";
    GetSystemErrorText(ERROR_FILE_NOT_FOUND, text);
    EXPECT_NE(text, L"previous");
    std::wstring lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
    EXPECT_NE(lower.find(L"file"), std::wstring::npos) << text.c_str();

    text = L"previous";
    GetSystemErrorText(0x2FFFFFFF, text);
    EXPECT_EQ(text, L"previous");
    EXPECT_EQ(DescribeSystemError(0x2FFFFFFF), L"");

    std::wstring full;
    GetSystemErrorText(ERROR_ACCESS_DENIED, full);
    const std::wstring line = DescribeSystemError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.find_first_of(L"\r\n"), std::wstring::npos);
    EXPECT_TRUE(full.starts_with(line));
}

TEST(ZeroedBuffers, AreZeroedAndReplaceTheHoldersArray) {
    std::unique_ptr<BYTE[]> bytes;
    BYTE* empty = AllocZeroedBuffer(bytes, 0);
    EXPECT_NE(empty, nullptr);
    BYTE* filled = AllocZeroedBuffer(bytes, 4096);
    EXPECT_EQ(bytes.get(), filled);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(filled[i], 0) << i;
    }
}

TEST(ZeroedBuffers, ImpossibleSizesAreOutOfMemory) {
    std::unique_ptr<BYTE[]> bytes;
    AllocZeroedBuffer(bytes, 8);
    try {
        AllocZeroedBuffer(bytes, -1);
        FAIL() << "a buffer of a negative size was allocated";
    } catch (COrvException& e) {
        EXPECT_EQ(e.GetText(), L"Out of memory");
    }
    EXPECT_EQ(bytes, nullptr);
}
