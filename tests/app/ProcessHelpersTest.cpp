#include "app/ProcessHelpers.h"

#include "common/FileHelpers.h"
#include "common/Guid.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

fs::path OwnPath() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

} // namespace

TEST(FindProcessByName, FindsARunningProcessByItsExactName) {
    std::wstring name = OwnPath().filename().wstring();
    const CObjectHandle found = FindProcessByName(name, PROCESS_QUERY_INFORMATION);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeProcess(found.Get(), &exitCode));
    EXPECT_EQ(exitCode, STILL_ACTIVE);

    std::transform(name.begin(), name.end(), name.begin(), ::towupper);
    EXPECT_FALSE(FindProcessByName(name, PROCESS_QUERY_INFORMATION).IsValid());
    CreateGuidString(name);
    EXPECT_FALSE(FindProcessByName(name + L".exe", PROCESS_QUERY_INFORMATION).IsValid());
}

// Starts a copy of command_line_echo from a folder with blanks in its name.
class LaunchProcessTest : public ::testing::Test {
protected:
    LaunchProcessTest() {
        fs::create_directories(m_folder.Path() / L"folder with blanks");
        fs::copy_file(OwnPath().parent_path() / L"command_line_echo.exe", m_program);
    }
    ~LaunchProcessTest() override { SetEnvironmentVariableW(L"ORV_ECHO_FILE", nullptr); }

    // The command line that the started program received.
    std::wstring Launch(const std::wstring& arguments) {
        const std::wstring echo = m_folder / (L"echo" + std::to_wstring(++m_launches) + L".txt");
        SetEnvironmentVariableW(L"ORV_ECHO_FILE", echo.c_str());
        EXPECT_TRUE(LaunchProcess(m_program, arguments));
        for (int i = 0; i < 200 && !PathExists(echo); ++i) {
            Sleep(50);
        }
        const std::string bytes = ReadTextFile(echo);
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    }

    TempFolder m_folder;
    std::wstring m_program = m_folder / L"folder with blanks\\echo.exe";
    int m_launches = 0;
};

TEST_F(LaunchProcessTest, QuotesThePathAndPassesTheArgumentsUnchanged) {
    EXPECT_EQ(Launch(L""), L"\"" + m_program + L"\"");
    EXPECT_EQ(Launch(L"-x \"quoted arg\" plain"),
              L"\"" + m_program + L"\" -x \"quoted arg\" plain");

    std::wstring longArguments;
    while (longArguments.size() < 2000) {
        longArguments += L" argument-\u00e4\u66f4";
    }
    EXPECT_EQ(Launch(longArguments), L"\"" + m_program + L"\" " + longArguments);

    EXPECT_FALSE(LaunchProcess(m_folder / L"missing.exe"));
}
