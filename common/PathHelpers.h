#pragma once

#include <string>

// The text before the last separator, '/' counting as '\'. A path without a separator leaves
// out as it was.
void GetDirectoryPart(const std::wstring& path, std::wstring& out);
