#include "unzip/ReleaseCheck.h"

#include "common/Errors.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
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
        CReleaseCheck check(test.installed, test.keyed);
        check.SetUpdateDescription(test.update);
        for (const std::wstring& file : test.archiveFiles) {
            check.AddArchiveFile(file);
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
    check.AddArchiveFile(L"setup.exe");
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
