#pragma once

#include <windows.h>

#include <string>

// The system's text for an error code, in the user's language, exactly as Windows writes it,
// line break included. When Windows has no text for the code, or its buffer cannot be released,
// out keeps its content. Pass GetLastError() on the line of the call that failed.
void GetSystemErrorText(DWORD code, std::wstring& out);

// The same text as one line for a log: without the line break that ends it; empty where Windows
// has none.
std::wstring DescribeSystemError(DWORD code);
