#pragma once

#include <string>

// A fresh GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; "Unknown error" on any failure,
// leaving out unchanged.
void CreateGuidString(std::wstring& out);
