#include "core/NameScreen.h"
#include "core/NameDecoding.h"

#include <gtest/gtest.h>

TEST(IsSafeNameComponent, AcceptsOrdinaryNamesInBothStringTypes) {
    for (const std::u16string name :
         {u"setup.exe", u"a.b.c", u".hidden", u"CONSOLE", u"con_x", u"COM10", u"LPT",
          u"nul-device.txt", u"r\u00e9sum\u00e9", u"my~long~file name.txt", u"backup~2024.tar.gz",
          u"~$report.docx", u"a~b.c.d"}) {
        EXPECT_TRUE(IsSafeNameComponent(name)) << std::string(name.begin(), name.end());
        EXPECT_TRUE(IsSafeNameComponent(std::wstring(name.begin(), name.end())));
    }
}

TEST(IsSafeNameComponent, RefusesNamesThatLeaveTheFolderOrNameADevice) {
    const std::vector<std::u16string> refused = {
        u"",          u".",          u"..",
        u"a\\b",      u"a/b",        u"C:",
        u"f:stream",  u"tab\tname",  std::u16string(u"nul\0x", 5),
        u"trailing.", u"trailing ",  u"CON",
        u"con.txt",   u"Aux.tar.gz", u"nul .txt",
        u"prn",       u"COM1",       u"com9.log",
        u"LPT5",      u"lpt1.x",     u"COM\u00b9",
        u"CONOUT$"};
    for (const std::u16string& name : refused) {
        EXPECT_FALSE(IsSafeNameComponent(name)) << std::string(name.begin(), name.end());
        EXPECT_FALSE(IsSafeNameComponent(std::wstring(name.begin(), name.end())));
    }
}

TEST(IsSafeNameComponent, RefusesWhatWindowsRefusesOrCouldTakeForAShortName) {
    const std::vector<std::u16string> refused = {
        u"a?b",          u"<",  u"x>y",   u"\"quoted\"", u"a|b", u"*.txt", u"\x1f", u"ORVAND~1.DLL",
        u"orva~x0k.dll", u"~1", u"A~B.C", u"progra~1"};
    for (const std::u16string& name : refused) {
        EXPECT_FALSE(IsSafeNameComponent(name)) << std::string(name.begin(), name.end());
        EXPECT_FALSE(IsSafeNameComponent(std::wstring(name.begin(), name.end())));
    }
}

TEST(CheckNameComponent, NamesTheReasonOfEachRefusal) {
    const std::vector<std::pair<std::u16string, TNameFault>> names = {
        {u"setup.exe", TNameFault::None},
        {u"", TNameFault::Empty},
        {u"..", TNameFault::DotName},
        {u"a:b", TNameFault::ForbiddenCharacter},
        {u"a\\b", TNameFault::ForbiddenCharacter},
        {u"a\x7f|b", TNameFault::ForbiddenCharacter},
        {u"tab\tname.", TNameFault::ControlCharacter},
        {u"name .", TNameFault::TrailingDotOrBlank},
        {u"Aux.tar.gz", TNameFault::DeviceName},
        {u"ORVAND~1.DLL", TNameFault::ShortNameAlias}};
    for (const auto& [name, fault] : names) {
        EXPECT_EQ(CheckNameComponent(name), fault) << DescribeNameFault(fault);
        EXPECT_EQ(CheckNameComponent(std::wstring(name.begin(), name.end())), fault);
    }
}

TEST(ScreenEntryName, GivesThePathOrTheRefusedComponentAndWhy) {
    std::u16string deep;
    for (std::size_t level = 0; level <= DeepestFolderLevel; ++level) {
        deep += u"d/";
    }
    const std::u16string tooLong = std::u16string(LongestArchivePath + 1, u'x');
    const struct {
        std::u16string name;
        TNameFault fault;
        std::u16string refused;
        std::string described;
    } cases[] = {
        {u"docs/../../x", TNameFault::DotName, u"..",
         "\"..\" is a name that stands for a folder itself or its parent (. or ..)"},
        {u"a/COM1.log", TNameFault::DeviceName, u"COM1.log",
         "\"COM1.log\" is a device name of Windows (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, "
         "CONOUT$), with or without an extension"},
        {u"CON", TNameFault::DeviceName, u"CON",
         "a device name of Windows (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$), with or "
         "without an extension"},
        {u"docs//a.txt", TNameFault::Empty, u"",
         "\"\" is an empty name, as in a path that starts with a separator or holds two in a row"},
        {deep, TNameFault::TooDeep, deep, "a path more than 128 folders deep"},
        {tooLong, TNameFault::TooLong, tooLong,
         "a path of more than 32767 UTF-16 units, longer than Windows takes"},
    };
    for (const auto& expected : cases) {
        const TScreenedPath screened = ScreenEntryName(expected.name);
        EXPECT_EQ(screened.fault, expected.fault) << expected.described;
        EXPECT_EQ(screened.refused, expected.refused) << expected.described;
        EXPECT_EQ(screened.path, u"");
        EXPECT_EQ(DescribeRefusal(screened, expected.name), expected.described);
    }
    EXPECT_EQ(ScreenEntryName(u"./a\\b/").path, u"a/b/");
    EXPECT_EQ(ScreenEntryName(u"./a\\b/").fault, TNameFault::None);
}

TEST(ScreenEntryPath, ReadsBackslashesAndDotsAsWindowsAndTarWritersMeanThem) {
    const std::vector<std::pair<std::u16string, std::u16string>> paths = {
        {u"a/b.txt", u"a/b.txt"},
        {u"a\\b\\c.txt", u"a/b/c.txt"},
        {u"./a/./b.txt", u"a/b.txt"},
        {u"dir\\", u"dir/"},
        {u"./dir/", u"dir/"},
        {u"dir/.", u"dir/"},
        {u"./", u""},
        {u".", u""},
        {u"./.\\", u""}};
    for (const auto& [name, path] : paths) {
        EXPECT_EQ(ScreenEntryPath(name), path) << std::string(name.begin(), name.end());
    }
    for (const std::u16string name :
         {u"", u"/", u"/x", u"\\x", u"/./x", u"C:\\x", u"./../x", u"a\\..\\b", u".//x", u"a//b"}) {
        EXPECT_FALSE(ScreenEntryPath(name)) << std::string(name.begin(), name.end());
    }
}

TEST(ScreenEntryPath, HoldsPathsToTheLongestWindowsPathAndTheDeepestFolderLevel) {
    std::u16string folders;
    for (std::size_t level = 0; level < DeepestFolderLevel; ++level) {
        folders += u"d/";
    }
    EXPECT_TRUE(ScreenEntryPath(folders + u"x.txt"));
    EXPECT_TRUE(ScreenEntryPath(folders));
    EXPECT_TRUE(ScreenEntryPath(u"./" + folders + u"./x.txt"));
    EXPECT_FALSE(ScreenEntryPath(folders + u"d/x.txt"));
    EXPECT_FALSE(ScreenEntryPath(folders + u"d/"));

    const std::u16string longest = u"d/" + std::u16string(LongestArchivePath - 2, u'x');
    EXPECT_TRUE(ScreenEntryPath(longest));
    EXPECT_TRUE(ScreenEntryPath(longest + u"/"));
    EXPECT_FALSE(ScreenEntryPath(longest + u"x"));
}

TEST(NameDecoding, DecodesCp437AndStrictUtf8) {
    EXPECT_EQ(DecodeCp437("caf\x82 \x9c\xe1\xff"), u"caf\u00e9 \u00a3\u00df\u00a0");
    EXPECT_EQ(DecodeUtf8("r\xc3\xa9sum\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
              u"r\u00e9sum\u00e9 \u20ac \U0001F600");
    for (const char* bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "cut\xe2\x82", "\x80", "\xc3(", "\xff"}) {
        EXPECT_FALSE(DecodeUtf8(bad)) << bad;
    }
}
