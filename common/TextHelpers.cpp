#include "common/TextHelpers.h"

#include "common/Buffers.h"

#include <cstdarg>
#include <cstdio>

void ForEachChar(wchar_t* buffer, int count, CharCallback callback) {
    for (int i = 0; i < count && buffer[i] != L'\0'; ++i) {
        callback(&buffer[i]);
    }
}

void SlashToBackslash(wchar_t* ch) {
    if (ch != nullptr && *ch == L'/') {
        *ch = L'\\';
    }
}

void CharToUpper(wchar_t* ch) {
    if (ch != nullptr && *ch >= L'a' && *ch <= L'z') {
        *ch = static_cast<wchar_t>(*ch - L'a' + L'A');
    }
}

void ToUpperInPlace(std::wstring& text) {
    const int count = static_cast<int>(text.size()) + 1;
    std::unique_ptr<wchar_t[]> holder;
    wchar_t* buffer = AllocZeroedWideBuffer(holder, count);
    text.copy(buffer, text.size());
    ForEachChar(buffer, count, CharToUpper);
    text = buffer;
}

int FormatString(std::span<wchar_t> buffer, const wchar_t* format, ...) {
    va_list values;
    va_start(values, format);
    const int written = _vsnwprintf_s(buffer.data(), buffer.size(), _TRUNCATE, format, values);
    va_end(values);
    return written;
}
