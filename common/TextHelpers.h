#pragma once

#include <cstddef>
#include <string>
#include <string_view>

using CharCallback = void (*)(wchar_t* ch);

// Calls the callback on each character before the terminating zero, at most count of them.
void ForEachChar(wchar_t* buffer, int count, CharCallback callback);

void SlashToBackslash(wchar_t* ch);

// UTF-8 for the texts that people read on any system: the journal and the log. Text that is not
// well-formed UTF-16 (a lone surrogate) comes out with U+FFFD in its place.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view bytes);
