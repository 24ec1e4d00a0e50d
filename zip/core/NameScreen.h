#pragma once

#include <string_view>

// True for a name that may be joined to a folder path as one component: it cannot climb out of
// the folder, name a drive, a stream or a device, hold a character that Windows refuses, or be
// silently changed by Windows (trailing dots and blanks are dropped there, which would let two
// names meet in one file). Nor may it look like a generated 8.3 short name, which could reach
// a file that the user knows under its long name.
bool IsSafeNameComponent(std::u16string_view name);
bool IsSafeNameComponent(std::wstring_view name);
