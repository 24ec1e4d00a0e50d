#include "core/CaseFolding.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

namespace {

constexpr std::size_t BmpUnits = 0x10000;

std::string Hex(char16_t unit) {
    char text[8];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(unit));
    return text;
}

// The platform's answer for two single units, as Windows compares file names.
int CompareIgnoringCase(char16_t left, char16_t right) {
    const wchar_t first = static_cast<wchar_t>(left);
    const wchar_t second = static_cast<wchar_t>(right);
    return CompareStringOrdinal(&first, 1, &second, 1, TRUE);
}

// Every BMP unit in a class with the units that compare equal to it. The ordinal comparison is
// an order, so the units sorted by it fall into runs of equal ones.
std::vector<std::vector<char16_t>> GetPlatformClasses() {
    std::vector<char16_t> units(BmpUnits);
    std::iota(units.begin(), units.end(), char16_t(0));
    std::stable_sort(units.begin(), units.end(), [](char16_t left, char16_t right) {
        return CompareIgnoringCase(left, right) == CSTR_LESS_THAN;
    });
    std::vector<std::vector<char16_t>> classes;
    for (std::size_t at = 0; at < units.size(); ++at) {
        if (at == 0 || CompareIgnoringCase(units[at - 1], units[at]) != CSTR_EQUAL) {
            classes.emplace_back();
        }
        classes.back().push_back(units[at]);
    }
    return classes;
}

} // namespace

TEST(FoldCase, TakesNamesThatDifferInLetterCaseAnywhereInTheBmpForOne) {
    const std::vector<std::pair<std::u16string, std::u16string>> same = {
        {u"Setup.EXE", u"sETUP.exe"},
        {u"h\u01b0\u1edbng d\u1eabn.txt", u"H\u01af\u1eda\u004eG D\u1eaaN.TXT"},
        {u"\u01b0\u1ea1\u01a1\u01ce\u0180", u"\u01af\u1ea0\u01a0\u01cd\u0243"},
        {u"\u0561\u1e01\u1f00\u01c6\u2170\u24d0", u"\u0531\u1e00\u1f08\u01c4\u2160\u24b6"},
        {u"\u00e4\u00ff\u0436\u0451\u03c3\u0142\u017e",
         u"\u00c4\u0178\u0416\u0401\u03a3\u0141\u017d"},
        {u"\uff41\u10d0\uab70", u"\uff21\u1c90\u13a0"},
    };
    for (const auto& [lower, upper] : same) {
        EXPECT_EQ(FoldCase(lower), FoldCase(upper)) << Hex(lower[0]);
        EXPECT_EQ(FoldCase(std::wstring(lower.begin(), lower.end())),
                  FoldCase(std::wstring(upper.begin(), upper.end())));
    }
    // What Windows keeps apart: other letters, not other cases; mappings lowercase does not lead
    // back from (final sigma, dotless i, long s, a title-case digraph); lone surrogates.
    const std::vector<std::pair<std::u16string, std::u16string>> apart = {
        {u"a\u00df", u"ass"},    {u"\u00f7", u"\u00d7"},
        {u"a\u0301", u"\u00e1"}, {u"\u03c2", u"\u03c3"},
        {u"\u0131", u"i"},       {u"\u017f", u"s"},
        {u"\u01c5", u"\u01c4"},  {u"\U00010428", u"\U00010400"},
        {u"\xd801", u"\xd800"},
    };
    for (const auto& [left, right] : apart) {
        EXPECT_NE(FoldCase(left), FoldCase(right)) << Hex(left[0]);
    }
}

// Wine's comparison rests on its own table, made from Unicode's data by its own tools, so the two
// agree only where both read Unicode alike: every unit that one of them takes for another's
// case is named here with the other's answer.
TEST(FoldCase, TakesTheSameBmpUnitsForOneAsThePlatformsComparison) {
    std::vector<std::string> differences;
    for (std::vector<char16_t> platformClass : GetPlatformClasses()) {
        std::sort(platformClass.begin(), platformClass.end());
        std::map<std::u16string, std::vector<char16_t>> byFold;
        for (const char16_t unit : platformClass) {
            byFold[FoldCase(std::u16string(1, unit))].push_back(unit);
        }
        if (byFold.size() > 1) {
            std::string line = "the platform takes as one:";
            for (const char16_t unit : platformClass) {
                line += ' ' + Hex(unit);
            }
            differences.push_back(line);
        }
    }
    for (std::size_t unit = 0; unit < BmpUnits; ++unit) {
        const char16_t single = static_cast<char16_t>(unit);
        const char16_t folded = FoldCase(std::u16string(1, single))[0];
        if (CompareIgnoringCase(single, folded) != CSTR_EQUAL) {
            differences.push_back("the table takes " + Hex(single) + " for " + Hex(folded));
        }
        if (FoldCase(std::u16string(1, folded))[0] != folded) {
            differences.push_back("the table folds " + Hex(single) + " twice");
        }
    }
    for (const std::string& difference : differences) {
        ADD_FAILURE() << difference;
    }
}
