#pragma once

#include <string>
#include <string_view>

// The form under which Windows takes two file names for one: each UTF-16 unit in its simple
// upper case, from the table of core/UpperCaseTable, as an NTFS volume compares names. Nothing
// else is folded: "ß" stays apart from "SS", and a combining accent from its precomposed letter,
// as the file system keeps them apart. The one answer of the updater, its archive component and
// the release tool to whether two names are one.
std::u16string FoldCase(std::u16string_view name);
// The same for Windows' own strings; a wchar_t past the BMP, where it is that wide, stays.
std::wstring FoldCase(std::wstring_view name);
