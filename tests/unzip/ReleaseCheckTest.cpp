#include "unzip/ReleaseCheck.h"

#include "common/Errors.h"
#include "common/Sha256.h"
#include "core/Hex.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

namespace {

const std::string Installed = "orvandel-release 1\nversion 2.0\nfile setup.exe\nfile a.dll\n"
                              "file plugins/p.dll\n";
const std::string Unreadable = "garbage";

std::string Full(const std::string& version, const std::string& files = "file setup.exe\n") {
    return "orvandel-release 1\nversion " + version + "\n" + files;
}

std::string Partial(const std::string& version, const std::string& base,
                    const std::string& files = "file setup.exe\nfile a.dll\n") {
    return "orvandel-release 1\nversion " + version + "\nbase " + base + "\n" + files;
}

struct TCheckCase {
    const char* what;
    std::optional<std::string> installed;
    std::optional<std::string> update;
    bool keyed;
    std::vector<std::wstring> archiveFiles;
    // The start of what Decide throws, or "removes" and every removal.
    std::wstring outcome;
};

std::wstring Check(const TCheckCase& test) {
    try {
        CReleaseCheck check(test.installed, test.keyed, std::wstring());
        check.SetUpdateDescription(test.update);
        for (const std::wstring& file : test.archiveFiles) {
            check.AddArchiveFile(file, 0);
        }
        check.Decide();
        std::wstring removals = L"removes";
        for (const std::wstring& removal : check.GetRemovals()) {
            removals += L' ' + removal;
        }
        return removals;
    } catch (const COrvException& refusal) {
        return refusal.GetText();
    }
}

} // namespace

TEST(ReleaseCheck, RefusesDowngradesWrongBasesAndUndescribedArchivesWhereSignaturesAreDemanded) {
    const std::wstring refused = L"the update is refused";
    const std::wstring undescribed = refused + L": the archive has no release description, and "
                                               L"the installed version is ";
    const std::vector<TCheckCase> cases = {
        {"nothing described", std::nullopt, std::nullopt, true, {L"setup.exe"}, L"removes"},
        {"no description over one, unkeyed",
         Installed,
         std::nullopt,
         false,
         {L"setup.exe"},
         L"removes orvandel-release.txt"},
        {"no description over one, keyed",
         Installed,
         std::nullopt,
         true,
         {L"setup.exe"},
         undescribed + L"2.0, so it cannot show that it is not older"},
        {"no description over a broken one, keyed",
         Unreadable,
         std::nullopt,
         true,
         {L"setup.exe"},
         undescribed + L"unknown (its release description: line 1: not a release description)"},
        {"downgrade",
         Installed,
         Full("1.9.9"),
         false,
         {L"setup.exe"},
         refused + L" as a downgrade: it brings version 1.9.9, lower than the installed version "
                   L"2.0"},
        {"repair",
         Installed,
         Full("2.0.0", "file setup.exe\nfile A.DLL\n"),
         true,
         {L"setup.exe", L"A.dll"},
         L"removes plugins\\p.dll"},
        {"newer over a broken one", Unreadable, Full("3"), true, {L"setup.exe"}, L"removes"},
        {"partial over nothing",
         std::nullopt,
         Partial("2.1", "2.0"),
         false,
         {L"setup.exe"},
         refused + L": it is made for version 2.0 only, and the installed version is unknown "
                   L"(the directory has no release description)"},
        {"partial below its base, which no directory can take",
         Installed,
         Partial("1.5", "2.0"),
         false,
         {L"setup.exe"},
         L"the archive's release description: line 3: version 1.5 is below its base 2.0"},
        {"partial for this base",
         Installed,
         Partial("2.1", "2.0.0", "file setup.exe\nfile a.dll\nfile plugins/new.dll\n"),
         true,
         {L"setup.exe", L"plugins\\new.dll"},
         L"removes plugins\\p.dll"},
        {"a listed file a full update lacks",
         std::nullopt,
         Full("2.0", "file setup.exe\nfile a\n"),
         false,
         {L"setup.exe"},
         L"the release description lists \"a\", which this full update does not hold"},
        {"a description that does not parse",
         Installed,
         Full("2.x"),
         false,
         {L"setup.exe"},
         L"the archive's release description: line 2: \"2.x\" is no version"},
    };
    for (const TCheckCase& test : cases) {
        const std::wstring outcome = Check(test);
        // Removals exactly, refusals by their start.
        EXPECT_EQ(test.outcome.starts_with(L"removes") ? outcome
                                                       : outcome.substr(0, test.outcome.size()),
                  test.outcome)
            << test.what;
    }
}

TEST(ReleaseCheck, ReadsTheDirectorysDescriptionAndSaysWhatTheUpdateDoes) {
    TempFolder folder;
    const std::wstring app = folder / L"App";
    std::filesystem::create_directories(app);
    const std::string partial = Partial("2.1", "2.0", "file setup.exe\nfile a.dll\n");
    {
        CReleaseCheck check(app, false);
        check.SetUpdateDescription(partial);
        EXPECT_THROW(check.Decide(), COrvException) << "no description: unknown";
    }
    WriteTextFile(app + L"\\ORVANDEL-RELEASE.TXT", Installed);
    CReleaseCheck check(app, true);
    check.SetUpdateDescription(partial);
    check.AddArchiveFile(L"setup.exe", 0);
    check.Decide();
    EXPECT_EQ(check.Describe(), L"release: the update brings version 2.1, made for 2.0 only; the "
                                L"installed version is 2.0; it removes 1 file of the installed "
                                L"version");

    std::filesystem::remove(app + L"\\ORVANDEL-RELEASE.TXT");
    std::filesystem::create_directories(app + L"\\orvandel-release.txt");
    CReleaseCheck unreadable(app, true);
    EXPECT_THROW(unreadable.Decide(), COrvException) << "a folder in its place: there, unknown";
    EXPECT_TRUE(unreadable.Describe().starts_with(
        L"release: the archive has no release description; the installed version is unknown "
        L"(its release description: cannot be read: "))
        << unreadable.Describe();
}

namespace {

std::string DigestHex(const std::string& bytes) {
    CSha256 sha256;
    sha256.Add(bytes.data(), bytes.size());
    return FormatHex(sha256.Finish());
}

} // namespace

TEST(ReleaseCheck, APatchedFileMustBeTheBaseVersionsOrTheUpdateNeedsTheFullArchive) {
    const std::string installedA = "the installed a.dll";
    const std::string installedB = std::string(5000, 'b');
    const std::string made(64, '0');
    const std::string patchLines = "patch a.dll " + DigestHex(installedA) + ' ' + DigestHex(made) +
                                   " 64\npatch Lib/B.dll " + DigestHex(installedB) + ' ' +
                                   DigestHex(made) + " 7000\n";
    const std::string update = "orvandel-release 2\nversion 2.1\nbase 2.0\nfile setup.exe\n"
                               "file a.dll\nfile lib/b.dll\n" +
                               patchLines;
    const std::wstring refused = L"the update is refused: it brings ";
    struct TCase {
        const char* what;
        std::function<void(const std::wstring& app)> change;
        std::vector<std::wstring> archiveFiles;
        std::wstring outcome; // the start of the refusal, or the log's line
    };
    const std::vector<TCase> cases = {
        {"both as installed",
         [](const std::wstring&) {},
         {L"setup.exe", L"A.DLL", L"lib\\b.dll"},
         L"release: the update brings version 2.1, made for 2.0 only; the installed version is "
         L"2.0; 2 files come as patches, whose 300 bytes (before the archive's deflate) make 7064 "
         L"bytes of files; it removes 0 files of the installed version"},
        {"one changed after the install",
         [](const std::wstring& app) { WriteTextFile(app + L"\\a.dll", "changed"); },
         {L"setup.exe", L"a.dll", L"lib\\b.dll"},
         refused + L"\"a.dll\" as a patch of version 2.0's file, and the installed \"a.dll\" was "
                   L"changed since version 2.0 installed it, so the update needs the full "
                   L"archive"},
        {"one missing",
         [](const std::wstring& app) { std::filesystem::remove(app + L"\\lib\\b.dll"); },
         {L"setup.exe", L"a.dll", L"lib\\b.dll"},
         refused + L"\"lib/b.dll\" as a patch of version 2.0's file, and the installed "
                   L"\"lib/b.dll\" is missing, so the update needs the full archive"},
        {"a folder in its place",
         [](const std::wstring& app) {
             std::filesystem::remove(app + L"\\a.dll");
             std::filesystem::create_directories(app + L"\\a.dll");
         },
         {L"setup.exe", L"a.dll", L"lib\\b.dll"},
         refused + L"\"a.dll\" as a patch of version 2.0's file, and the installed \"a.dll\" "
                   L"cannot be read: "},
        {"one the archive does not hold",
         [](const std::wstring&) {},
         {L"setup.exe", L"a.dll"},
         L"the release description has a patch for \"lib/b.dll\", which the archive does not "
         L"hold"},
        {"another installed version first",
         [](const std::wstring& app) {
             WriteTextFile(app + L"\\orvandel-release.txt",
                           "orvandel-release 1\nversion 1.9\nfile setup.exe\n");
             WriteTextFile(app + L"\\a.dll", "changed");
         },
         {L"setup.exe", L"a.dll", L"lib\\b.dll"},
         L"the update is refused: it is made for version 2.0 only, and the installed version is "
         L"1.9"},
    };
    for (const TCase& test : cases) {
        TempFolder folder;
        const std::wstring app = folder / L"App";
        std::filesystem::create_directories(app + L"\\lib");
        WriteTextFile(
            app + L"\\orvandel-release.txt",
            "orvandel-release 1\nversion 2.0\nfile setup.exe\nfile a.dll\nfile lib/b.dll\n");
        WriteTextFile(app + L"\\a.dll", installedA);
        WriteTextFile(app + L"\\lib\\b.dll", installedB);
        test.change(app);
        std::wstring outcome;
        try {
            CReleaseCheck check(app, true);
            check.SetUpdateDescription(update);
            for (const std::wstring& file : test.archiveFiles) {
                check.AddArchiveFile(file, 150);
            }
            check.Decide();
            outcome = check.Describe();
            ASSERT_NE(check.FindPatch(L"LIB\\B.DLL"), nullptr);
            EXPECT_EQ(check.FindPatch(L"lib/b.dll")->size, 7000u);
            EXPECT_EQ(check.GetInstalledPath(*check.FindPatch(L"lib/b.dll")),
                      app + L"\\lib\\b.dll");
            EXPECT_EQ(check.FindPatch(L"setup.exe"), nullptr);
        } catch (const COrvException& refusal) {
            outcome = refusal.GetText();
        }
        EXPECT_EQ(outcome.substr(0, test.outcome.size()), test.outcome) << test.what;
    }
}
