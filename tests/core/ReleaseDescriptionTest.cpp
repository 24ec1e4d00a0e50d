#include "core/ReleaseDescription.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

TReleaseVersion Version(std::string_view text) {
    const std::optional<TReleaseVersion> version = ParseReleaseVersion(text);
    EXPECT_TRUE(version) << text;
    return version.value_or(TReleaseVersion());
}

TReleaseDescription Parsed(std::string_view text) {
    TReleaseParse parse = ParseReleaseDescription(text);
    EXPECT_TRUE(parse.description) << parse.fault;
    return parse.description.value_or(TReleaseDescription());
}

TReleaseDescription Described(std::vector<std::u16string> files, bool partial = false) {
    TReleaseDescription description;
    description.version = Version("2.0");
    if (partial) {
        description.base = Version("1.0");
    }
    description.files = std::move(files);
    return description;
}

} // namespace

TEST(ReleaseVersion, ReadsOneToFourPartsAndComparesMissingPartsAsZero) {
    for (const char* text : {"0", "7", "2.1", "2.1.0", "65535.65535.65535.65535", "10.0.1.0"}) {
        EXPECT_EQ(FormatReleaseVersion(Version(text)), text);
    }
    for (const char* text : {"", ".", "1.", ".1", "1..2", "01", "1.00", "-1", "+1", " 1", "1 ",
                             "1.2.3.4.5", "65536", "99999", "1a", "0x1", "1,2"}) {
        EXPECT_FALSE(ParseReleaseVersion(text)) << text;
    }
    EXPECT_EQ(Version("2.1"), Version("2.1.0.0"));
    EXPECT_LT(Version("2.1"), Version("2.1.0.1"));
    EXPECT_LT(Version("2.9"), Version("2.10"));
    EXPECT_LT(Version("9.65535"), Version("10"));
    EXPECT_GT(Version("1.0.0.1"), Version("1"));
}

TEST(ReleaseDescription, ReadsWhatItWritesAndTheLeniencesOfHandMadeFiles) {
    const TReleaseDescription partial =
        Parsed("orvandel-release 1\nversion 2.1\nbase 2.0\nfile Orvandel.exe\n"
               "file plugins/en/strings.txt\nfile R\xC3\xA9sum\xC3\xA9 de l'\xC3\xA9t\xC3\xA9.txt");
    EXPECT_EQ(FormatReleaseVersion(partial.version), "2.1");
    ASSERT_TRUE(partial.base);
    EXPECT_EQ(FormatReleaseVersion(*partial.base), "2.0");
    EXPECT_EQ(partial.files,
              (std::vector<std::u16string>{u"Orvandel.exe", u"plugins/en/strings.txt",
                                           u"R\u00e9sum\u00e9 de l'\u00e9t\u00e9.txt"}));
    EXPECT_EQ(Parsed(FormatReleaseDescription(partial)), partial);

    // A BOM and CR LF line ends, as Notepad saves; backslashes and dots as archive names have.
    const TReleaseDescription full =
        Parsed("\xEF\xBB\xBForvandel-release 1\r\nversion 3\r\nfile .\\bin\\a.dll\r\n");
    EXPECT_FALSE(full.base);
    EXPECT_EQ(full.files, std::vector<std::u16string>{u"bin/a.dll"});
    EXPECT_EQ(FormatReleaseDescription(full), "orvandel-release 1\nversion 3\nfile bin/a.dll\n");
}

TEST(ReleaseDescription, RefusesEveryFaultNamingItsLine) {
    const std::string head = "orvandel-release 1\nversion 2.0\n";
    const std::vector<std::pair<std::string, std::string>> faults = {
        {"", "empty"},
        {"\xEF\xBB\xBF", "empty"},
        {"orvandel-release 2\nversion 1\nfile a\n", "line 1: a format this updater does not know"},
        {"Orvandel-Release 1\nversion 1\nfile a\n", "line 1: not a release description"},
        {"orvandel-release 1\n", "no version line"},
        {head, "lists no file"},
        {head + "base 1.0\n", "lists no file"},
        {"orvandel-release 1\nfile a\n", "line 2: file before the version"},
        {"orvandel-release 1\nbase 1\nversion 2\nfile a\n", "line 2: base before the version"},
        {head + "version 2.0\nfile a\n", "line 3: a second version"},
        {head + "file a\nbase 1.0\n", "line 4: base must follow the version"},
        {head + "base 1.0\nbase 1.0\nfile a\n", "line 4: base must follow the version"},
        {head + "file a\n\nfile b\n", "line 4: empty"},
        {head + "file a\n\n", "line 4: empty"},
        {head + "file a\nfiles b\n", "line 4: unknown key \"files\""},
        {head + "File a\n", "line 3: unknown key \"File\""},
        {head + "file\n", "line 3: no blank between key and value"},
        {"orvandel-release 1\nversion 2.0.\nfile a\n", "line 2: \"2.0.\" is no version"},
        {"orvandel-release 1\nversion  2\nfile a\n", "line 2: \" 2\" is no version"},
        {head + "base v1\nfile a\n", "line 3: \"v1\" is no version"},
        {head + "file \xC3\n", "line 3: the name is not valid UTF-8"},
        {head + "file ../evil.dll\n", "line 3: \"../evil.dll\" is a name the updater refuses"},
        {head + "file C:\\Windows\\a.dll\n", "is a name the updater refuses"},
        {head + "file nul.txt\n", "is a name the updater refuses"},
        {head + "file a\rb\n", "is a name the updater refuses"},
        {head + "file plugins/\n", "line 3: \"plugins/\" names no file"},
        {head + "file \n", "line 3: \"\" is a name the updater refuses"},
        {head + "file ORVANDEL-RELEASE.TXT\n", "line 3: lists the description itself"},
        {head + "file Lib/A.dll\nfile lib\\a.DLL\n",
         "line 4: \"lib/a.DLL\" is listed twice: \"Lib/A.dll\" before it is the same name to "
         "Windows"},
        {head + "file a\nfile a\n", "line 4: \"a\" is listed twice"},
        {head + "base 2.0.1\nfile a\n",
         "line 3: version 2.0 is below its base 2.0.1, so no installed version can take it"},
        {head + "file a/con.txt\n", "line 3: \"a/con.txt\" is a name the updater refuses: "
                                    "\"con.txt\" is a device name of Windows"},
        {head + "file " + std::string(LargestReleaseDescription, 'x'), "larger than 16 MiB"},
    };
    for (const auto& [text, fault] : faults) {
        const TReleaseParse parse = ParseReleaseDescription(text);
        EXPECT_FALSE(parse.description) << text.substr(0, 80);
        EXPECT_NE(parse.fault.find(fault), std::string::npos)
            << text.substr(0, 80) << " gave: " << parse.fault;
    }
}

TEST(ReleaseListing, EveryArchiveFileMustBeListedAndAFullUpdateMustHoldEveryListedOne) {
    const TReleaseDescription full = Described({u"setup.exe", u"lib/Core.dll", u"readme.txt"});
    {
        CReleaseListing listing(full);
        for (const std::u16string path :
             {u"SETUP.EXE", u"orvandel-release.txt", u"LIB/core.DLL", u"readme.txt"}) {
            listing.Claim(path);
        }
        EXPECT_EQ(listing.GetFault(), std::nullopt);
    }
    {
        CReleaseListing listing(full);
        listing.Claim(u"setup.exe");
        listing.Claim(u"lib/Core.dll");
        EXPECT_EQ(listing.GetFault(), "the release description lists \"readme.txt\", which this "
                                      "full update does not hold");
    }
    const TReleaseDescription partial = Described(full.files, true);
    {
        CReleaseListing listing(partial);
        listing.Claim(u"setup.exe");
        EXPECT_EQ(listing.GetFault(), std::nullopt);
        listing.Claim(u"lib/extra.dll");
        listing.Claim(u"lib/other.dll");
        EXPECT_EQ(listing.GetFault(), "the archive holds \"lib/extra.dll\", which the release "
                                      "description does not list");
    }
}

TEST(ListDroppedFiles, GivesTheInstalledFilesTheUpdateNoLongerListsWithoutCase) {
    const TReleaseDescription installed =
        Described({u"setup.exe", u"plugins/old/a.dll", u"Core.dll", u"plugins/old/b.dll"});
    const TReleaseDescription update = Described({u"SETUP.exe", u"core.DLL", u"new.dll"}, true);
    EXPECT_EQ(ListDroppedFiles(installed, update),
              (std::vector<std::u16string>{u"plugins/old/a.dll", u"plugins/old/b.dll"}));
    EXPECT_EQ(ListDroppedFiles(installed, installed), std::vector<std::u16string>());

    // Renamed in letter case only, beyond ASCII: to Windows still the same file, so kept.
    const TReleaseDescription before =
        Described({u"setup.exe", u"docs/h\u01b0\u1edbng d\u1eabn.txt"});
    const TReleaseDescription after =
        Described({u"setup.exe", u"DOCS/H\u01af\u1edaNG D\u1eaaN.txt"}, true);
    EXPECT_EQ(ListDroppedFiles(before, after), std::vector<std::u16string>());
}
