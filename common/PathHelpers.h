#pragma once

#include <string>

// The text before the last separator, '/' counting as '\'. A path without a separator leaves
// out as it was.
void GetDirectoryPart(const std::wstring& path, std::wstring& out);

// The name inside the folder: one '\' between them unless the folder already ends in one, and
// the name as it is for an empty folder, the install walk's rule for its destination. So
// "C:\App" and "C:\App\" give the same paths, and so does the bare drive "C:" that a program at
// the root of a drive has for its directory, as its root "C:\".
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
