#pragma once

#include <windows.h>

#include <string>

// The system's text for an error code, in the user's language, exactly as Windows writes it.
// When no text can be had, failed is set and out keeps its content; failed is never cleared.
void FormatSystemMessage(std::wstring& out, DWORD code, bool& failed);

// As FormatSystemMessage, but out is simply left alone when there is no text.
void GetSystemErrorText(DWORD code, std::wstring& out);

// Call on the line right after the failed call, before anything can change the error code.
void GetLastErrorText(std::wstring& out);

// The system's text for an error as one line for a log: without the line break that ends it.
std::wstring DescribeSystemError(DWORD code);
