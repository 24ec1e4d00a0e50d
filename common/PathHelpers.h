#pragma once

#include <string>

// The text before the last separator, '/' counting as '\'. A path without a separator leaves
// out as it was.
void GetDirectoryPart(const std::wstring& path, std::wstring& out);

// The name in the directory, with one separator between them. A directory of one character is a
// drive-relative root or a bare separator, which takes the name as it is.
std::wstring AppendToDirectory(const std::wstring& directory, const std::wstring& name);
