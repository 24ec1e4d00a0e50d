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
        {"orvandel-release 3\nversion 1\nfile a\n", "line 1: a format this reader does not know"},
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

namespace {

const std::string FromHex(64, 'a');
const std::string ToHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

} // namespace

TEST(ReleaseDescription, Format2ReadsPatchLinesAndIsWrittenOnlyWhenThereArePatches) {
    const TReleaseDescription described =
        Parsed("orvandel-release 2\nversion 2.1\nbase 2.0\nfile Orvandel.exe\n"
               "file My Notes/read me.txt\nfile lib/Core.dll\npatch my notes/READ ME.txt " +
               FromHex + ' ' + ToHex + " 0\npatch Orvandel.exe " + ToHex + ' ' + FromHex +
               " 18446744073709551615\n");
    ASSERT_EQ(described.patches.size(), 2u);
    // A name with blanks, spelled as its file line spells it.
    EXPECT_EQ(described.patches[0].name, u"My Notes/read me.txt");
    TSha256 from;
    from.fill(0xaa);
    EXPECT_EQ(described.patches[0].from, from);
    EXPECT_EQ(described.patches[0].to[1], 0x11);
    EXPECT_EQ(described.patches[0].size, 0u);
    EXPECT_EQ(described.patches[1].name, u"Orvandel.exe");
    EXPECT_EQ(described.patches[1].size, 18446744073709551615u);
    const std::string written = FormatReleaseDescription(described);
    EXPECT_TRUE(written.starts_with("orvandel-release 2\n")) << written;
    EXPECT_NE(written.find("\npatch My Notes/read me.txt " + FromHex + ' ' + ToHex + " 0\n"),
              std::string::npos)
        << written;
    EXPECT_EQ(Parsed(written), described);

    // Without patch lines, format 2 is read as the same description, and written as format 1.
    const TReleaseDescription plain = Parsed("orvandel-release 2\nversion 2.1\nfile a\n");
    EXPECT_EQ(plain, Parsed("orvandel-release 1\nversion 2.1\nfile a\n"));
    EXPECT_TRUE(FormatReleaseDescription(plain).starts_with("orvandel-release 1\n"));

    CReleaseListing listing(described);
    EXPECT_EQ(listing.FindPatch(u"ORVANDEL.EXE"), &described.patches[1]);
    EXPECT_EQ(listing.FindPatch(u"lib/Core.dll"), nullptr);
    EXPECT_EQ(listing.FindPatch(u"orvandel-release.txt"), nullptr);
}

TEST(ReleaseDescription, RefusesEveryFaultOfAPatchLine) {
    const std::string partial = "orvandel-release 2\nversion 2.1\nbase 2.0\nfile a.dll\nfile b c\n";
    const std::string values = ' ' + FromHex + ' ' + ToHex + " 12\n";
    const std::vector<std::pair<std::string, std::string>> faults = {
        {"orvandel-release 1\nversion 2.1\nbase 2.0\nfile a.dll\npatch a.dll" + values,
         "line 5: unknown key \"patch\""},
        {"orvandel-release 2 \nversion 2.1\nfile a\n",
         "line 1: a format this reader does not know"},
        {"orvandel-release 2\nversion 2.1\nfile a.dll\npatch a.dll" + values,
         "line 4: a patch line in a full update"},
        {"orvandel-release 2\nversion 2.1\nbase 2.0\npatch a.dll" + values + "file a.dll\n",
         "line 4: patch before the file lines"},
        {"orvandel-release 2\nversion 2.1\npatch a.dll" + values + "file a.dll\n",
         "line 3: patch before the file lines"},
        {partial + "patch a.dll" + values + "file d\n", "line 7: file after the patch lines"},
        {partial + "patch d.dll" + values, "line 6: a patch for \"d.dll\", which is not listed"},
        {partial + "patch orvandel-release.txt" + values, "which is not listed"},
        {partial + "patch a.dll" + values + "patch A.DLL" + values,
         "line 7: \"A.DLL\" has a second patch line"},
        {partial + "patch ../a.dll" + values, "line 6: \"../a.dll\" is a name the updater refuses"},
        {partial + "patch a.dll " + FromHex + ' ' + ToHex + "\n",
         "line 6: a patch line is \"patch NAME FROM TO SIZE\""},
        {partial + "patch a.dll " + ToHex + " 12\n", "a patch line is \"patch NAME FROM TO SIZE\""},
        {partial + "patch " + FromHex + ' ' + ToHex + " 12\n", "a patch line is"},
        {partial + "patch a.dll " + std::string(63, 'a') + ' ' + ToHex + " 12\n",
         "is no SHA-256: 64 lower-case hex digits"},
        {partial + "patch a.dll " + std::string(64, 'A') + ' ' + ToHex + " 12\n",
         "line 6: \"" + std::string(64, 'A') + "\" is no SHA-256"},
        {partial + "patch a.dll " + FromHex + ' ' + std::string(64, 'g') + " 12\n",
         "is no SHA-256"},
        {partial + "patch a.dll " + FromHex + ' ' + ToHex + "0 12\n", "is no SHA-256"},
        {partial + "patch a.dll " + FromHex + ' ' + ToHex + " 012\n", "\"012\" is no size"},
        {partial + "patch a.dll " + FromHex + ' ' + ToHex + " -1\n", "\"-1\" is no size"},
        {partial + "patch a.dll " + FromHex + ' ' + ToHex + " +1\n", "is no size"},
        {partial + "patch a.dll " + FromHex + ' ' + ToHex + " 1e3\n", "is no size"},
        {partial + "patch a.dll " + FromHex + ' ' + ToHex + " \n", "\"\" is no size"},
        {partial + "patch a.dll " + FromHex + ' ' + ToHex + " 18446744073709551616\n",
         "is no size"},
        {partial + "patch a.dll  " + FromHex + ' ' + ToHex + " 1\n",
         "\"a.dll \" is a name the updater refuses"},
        {partial + "patch a.dll" + values + "version 3\n", "line 7: a second version"},
        {partial + "patch a.dll" + values + "base 1\n", "line 7: base must follow the version"},
    };
    for (const auto& [text, fault] : faults) {
        const TReleaseParse parse = ParseReleaseDescription(text);
        EXPECT_FALSE(parse.description) << text;
        EXPECT_NE(parse.fault.find(fault), std::string::npos) << text << " gave: " << parse.fault;
    }
}

TEST(ReleaseListing, AnUpdateMustHoldEveryFileItHasAPatchFor) {
    const TReleaseDescription described =
        Parsed("orvandel-release 2\nversion 2.1\nbase 2.0\nfile a.dll\nfile b.dll\npatch B.DLL " +
               FromHex + ' ' + ToHex + " 3\n");
    CReleaseListing listing(described);
    listing.Claim(u"a.dll");
    EXPECT_EQ(listing.GetFault(),
              "the release description has a patch for \"b.dll\", which the archive does not hold");
    listing.Claim(u"B.dll");
    EXPECT_EQ(listing.GetFault(), std::nullopt);

    // A description made by hand in code, not read: its patch must still name a listed file.
    TReleaseDescription unlisted = described;
    unlisted.patches[0].name = u"c.dll";
    CReleaseListing unlistedListing(unlisted);
    unlistedListing.Claim(u"b.dll");
    EXPECT_EQ(unlistedListing.GetFault(),
              "the release description has a patch for \"c.dll\", which it does not list");
}
