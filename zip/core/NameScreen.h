#pragma once

#include <string_view>

// True for a name that may be joined to a folder path as one component: it cannot climb out of
// the folder, name a drive, a stream or a device, or be silently changed by Windows (trailing
// dots and blanks are dropped there, which would let two names meet in one file).
bool IsSafeNameComponent(std::u16string_view name);
bool IsSafeNameComponent(std::wstring_view name);
