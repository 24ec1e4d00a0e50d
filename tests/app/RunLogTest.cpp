#include "app/RunLog.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <regex>

TEST(RunLog, AppendsTimedLinesAndStartsAnewPastItsLimitKeepingOnePrevious) {
    TempFolder folder;
    const std::wstring path = folder / L"Orvandel Updater.log";
    CRunLog(path, 100).Write(L"first run, ünïcödé");
    CRunLog(path, 100).Write(L"second run");
    const std::string twoRuns = ReadTextFile(path);
    EXPECT_TRUE(
        std::regex_match(twoRuns, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                                             "first run, \xC3\xBCn\xC3\xAF"
                                             "c\xC3\xB6"
                                             "d\xC3\xA9\r\n"
                                             "[-0-9 :.]{24}second run\r\n")))
        << twoRuns;

    // The file passes its limit with the first of these lines, the new one with the third: the
    // fourth run finds a file of two long lines, which becomes the previous one in place of the
    // file of the first runs.
    for (int run = 0; run < 4; ++run) {
        CRunLog log(path, 100);
        log.Write(L"a line long enough to pass the limit of this log at once, in one run");
    }
    EXPECT_EQ(ReadFolder(folder.Path().wstring()).size(), 2u);
    EXPECT_EQ(ReadTextFile(path + L".1").find("first run"), std::string::npos);
    EXPECT_NE(ReadTextFile(path + L".1").find("a line long enough"), std::string::npos);
    EXPECT_EQ(ReadTextFile(path).size(), 24u + 68u + 2u);
}

TEST(RunLog, ALogThatCannotBeWrittenStaysSilent) {
    TempFolder folder;
    CRunLog(folder / L"missing\\folder\\Orvandel Updater.log").Write(L"nowhere to go");
    CRunLog(L"").Write(L"no temporary folder");
    WriteTextFile(folder / L"taken\\placeholder", "");
    CRunLog(folder / L"taken").Write(L"a folder in the way");
    EXPECT_EQ(ReadFolder(folder.Path().wstring()),
              (FolderContents{{L"taken\\", ""}, {L"taken\\placeholder", ""}}));
}
