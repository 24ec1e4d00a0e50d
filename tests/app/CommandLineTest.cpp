#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::wstring> Fields(std::wstring_view commandLine) {
    const std::optional<TCommandLine> parsed = ParseCommandLine(commandLine);
    if (!parsed) {
        return {};
    }
    return {parsed->applicationPath, parsed->mutexName, parsed->archivePath, parsed->fourthField,
            parsed->deleteArchiveFlag};
}

using FieldList = std::vector<std::wstring>;

} // namespace

TEST(ParseCommandLine, ReadsFiveQuotedFields) {
    EXPECT_EQ(Fields(LR"("C:\Program Files\Orvandel\app.exe" "OrvMutex" "C:\Temp\u.zip" "x" "1")"),
              (FieldList{L"C:\\Program Files\\Orvandel\\app.exe", L"OrvMutex", L"C:\\Temp\\u.zip",
                         L"x", L"1"}));
    EXPECT_EQ(Fields(LR"("a" "b" "c" "" "")"), (FieldList{L"a", L"b", L"c", L"", L""}));
    // Any one character separates two fields, a quote included.
    EXPECT_EQ(Fields(L"\"a\"\t\"b\"x\"c\"\"\"d\"-\"e\""),
              (FieldList{L"a", L"b", L"c", L"d", L"e"}));
}

TEST(ParseCommandLine, TheLastFieldNeedsNoClosingQuoteAndEndsAtOne) {
    EXPECT_EQ(Fields(LR"("a" "b" "c" "d" "1)"), (FieldList{L"a", L"b", L"c", L"d", L"1"}));
    EXPECT_EQ(Fields(LR"("a" "b" "c" "d" ")"), (FieldList{L"a", L"b", L"c", L"d", L""}));
    EXPECT_EQ(Fields(LR"("a" "b" "c" "d" "1" "more" text)"),
              (FieldList{L"a", L"b", L"c", L"d", L"1"}));
    EXPECT_EQ(Fields(LR"("a" "b" "c" "d" "1 ")"), (FieldList{L"a", L"b", L"c", L"d", L"1 "}));
}

TEST(ParseCommandLine, KeepsEveryCharacterOfAField) {
    const std::wstring path = L"C:\\Programme\\Orv\u00e4ndel \u041f\u0440\u0438\\\u66f4\u65b0.exe";
    EXPECT_EQ(Fields(L"\"" + path + L"\" \"m\u00fctex\" \"\U0001F600.zip\" \"\" \"1\""),
              (FieldList{path, L"m\u00fctex", L"\U0001F600.zip", L"", L"1"}));

    std::wstring longPath = L"C:";
    while (longPath.size() < 2000) {
        longPath += L"\\a folder name";
    }
    EXPECT_EQ(Fields(L"\"" + longPath + L"\" \"m\" \"" + longPath + L".zip\" \"\" \"\""),
              (FieldList{longPath, L"m", longPath + L".zip", L"", L""}));
}

TEST(ParseCommandLine, RefusesEverythingElse) {
    for (const wchar_t* commandLine : {
             L"",
             LR"( "a" "b" "c" "d" "e")",
             LR"(a" "b" "c" "d" "e")",
             LR"("" "b" "c" "d" "e")",
             LR"("a" "" "c" "d" "e")",
             LR"("a" "b" "" "d" "e")",
             LR"("a"  "b" "c" "d" "e")",
             LR"("a" "b" "c" "d"  "e")",
             LR"("a""b" "c" "d" "e")",
             LR"("a" "b" "c" "d")",
             LR"("a" "b" "c" "d" )",
             LR"("a" "b" "c)",
             LR"("a" "b" "c" "d)",
             LR"("a)",
             L"\"",
         }) {
        EXPECT_FALSE(ParseCommandLine(commandLine).has_value()) << commandLine;
    }
}
