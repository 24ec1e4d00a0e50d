#include "app/ResumeAtLogon.h"
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>

namespace {

const std::wstring Program = L"C:\\Users\\A User Name\\AppData\\Local\\Temp\\Updater.exe";
const TCommandLine Fields{L"C:\\Users\\A User Name\\AppData\\Local\\Programs\\Orvandel\\app.exe",
                          L"OrvandelMutex", L"C:\\Users\\A User Name\\Downloads\\update 2.zip",
                          L"ignored", L"1"};

// Short forms as a volume with 8.3 names would give them; other paths have none.
std::wstring Shorten(const std::wstring& path) {
    static const std::map<std::wstring, std::wstring> shortForms{
        {Program, L"C:\\Users\\AUSERN~1\\AppData\\Local\\Temp\\Updater.exe"},
        {Fields.applicationPath,
         L"C:\\Users\\AUSERN~1\\AppData\\Local\\Programs\\Orvandel\\app.exe"},
        {Fields.archivePath, L"C:\\Users\\AUSERN~1\\DOWNLO~1\\UPDATE~1.ZIP"},
    };
    const auto found = shortForms.find(path);
    return found != shortForms.end() ? found->second : path;
}

// The updater's quoted path, then what the updater's own parser reads.
std::pair<std::wstring, TCommandLine> ReadBack(const std::wstring& command) {
    EXPECT_EQ(command.front(), L'"');
    const std::size_t closing = command.find(L'"', 1);
    EXPECT_EQ(command.substr(closing + 1, 2), L" \"");
    const std::optional<TCommandLine> parsed = ParseCommandLine(command.substr(closing + 2));
    EXPECT_TRUE(parsed.has_value()) << command;
    return {command.substr(1, closing - 1), parsed.value_or(TCommandLine{})};
}

} // namespace

TEST(BuildLogonCommand, TakesTheLongestFormThatFitsAndKeepsTheGrammar) {
    const std::size_t full = BuildLogonCommand(Program, Fields, SIZE_MAX, Shorten).text.size();
    const std::size_t shortPaths =
        BuildLogonCommand(Program, Fields, full - 1, Shorten).text.size();
    const std::size_t leftOut =
        BuildLogonCommand(Program, Fields, shortPaths - 1, Shorten).text.size();
    ASSERT_GT(full, shortPaths);
    ASSERT_GT(shortPaths, leftOut);

    const std::wstring shortProgram = Shorten(Program);
    const TCommandLine shortFields{Shorten(Fields.applicationPath), Fields.mutexName,
                                   Shorten(Fields.archivePath), L"", L"1"};
    TCommandLine withoutArchive = shortFields;
    withoutArchive.archivePath = ArchiveLeftOut;
    const struct {
        std::size_t longest;
        TLogonCommandForm form;
        std::wstring program;
        TCommandLine fields;
    } cases[] = {
        {LongestLogonCommand, TLogonCommandForm::Full, Program, Fields},
        {full, TLogonCommandForm::Full, Program, Fields},
        {full - 1, TLogonCommandForm::ShortPaths, shortProgram, shortFields},
        {shortPaths, TLogonCommandForm::ShortPaths, shortProgram, shortFields},
        {shortPaths - 1, TLogonCommandForm::WithoutArchive, shortProgram, withoutArchive},
        {leftOut, TLogonCommandForm::WithoutArchive, shortProgram, withoutArchive},
        {leftOut - 1, TLogonCommandForm::TooLong, shortProgram, withoutArchive},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.longest);
        const TLogonCommand command = BuildLogonCommand(Program, Fields, expected.longest, Shorten);
        EXPECT_EQ(command.form, expected.form);
        if (command.form != TLogonCommandForm::TooLong) {
            EXPECT_LE(command.text.size(), expected.longest);
        }
        const auto [program, fields] = ReadBack(command.text);
        EXPECT_EQ(program, expected.program);
        EXPECT_EQ(FormatCommandLine(fields), FormatCommandLine(expected.fields));
    }
}

namespace {

// The command Windows would run at the next logon under the value's name, or nothing.
std::optional<std::wstring> RunOnceValue(const std::wstring& name) {
    wchar_t data[512] = {};
    DWORD bytes = sizeof(data);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                     name.c_str(), RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

} // namespace

TEST(CResumeAtLogon, WritesWhatFitsUnderANameWindowsKeepsUntilItHasRun) {
    const std::wstring key = L"Orvandel Updater TEST0123456789AB";
    const TLogonCommand fits = BuildLogonCommand(Program, Fields, LongestLogonCommand, Shorten);
    {
        const CResumeAtLogon resume(key, fits);
        EXPECT_TRUE(resume.IsRegistered());
        EXPECT_EQ(RunOnceValue(L"!" + key), fits.text);
        EXPECT_EQ(resume.Describe(),
                  L"written in full, " + std::to_wstring(fits.text.size()) + L" characters");
    }
    EXPECT_EQ(RunOnceValue(L"!" + key), std::nullopt);

    const TLogonCommand tooLong = BuildLogonCommand(Program, Fields, 20, Shorten);
    const CResumeAtLogon earlier(key, fits);
    {
        // A dead run's entry for the same directory goes too.
        const CResumeAtLogon resume(key, tooLong);
        EXPECT_FALSE(resume.IsRegistered());
        EXPECT_TRUE(resume.Describe().starts_with(L"not written"));
    }
    EXPECT_EQ(RunOnceValue(L"!" + key), std::nullopt);
}
