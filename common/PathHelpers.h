#pragma once

#include <string>

// The text before the last separator, '/' counting as '\'. A path without a separator leaves
// out as it was.
void GetDirectoryPart(const std::wstring& path, std::wstring& out);

// The text after the last '.', anywhere in the path; empty when there is none.
void GetFileExtension(const std::wstring& path, std::wstring& out);
