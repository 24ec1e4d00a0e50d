#include "common/SystemErrors.h"

#include "common/ScopeGuards.h"

void FormatSystemMessage(std::wstring& out, DWORD code, bool& failed) {
    wchar_t* buffer = nullptr;
    CMemHandleGuard guard(&buffer, &failed);
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer),
        0, nullptr);
    if (length == 0) {
        failed = true;
        return;
    }
    out = buffer;
}

void GetSystemErrorText(DWORD code, std::wstring& out) {
    std::wstring text;
    bool failed = false;
    FormatSystemMessage(text, code, failed);
    if (!failed) {
        out = text;
    }
}

void GetLastErrorText(std::wstring& out) {
    GetSystemErrorText(GetLastError(), out);
}

std::wstring DescribeSystemError(DWORD code) {
    std::wstring text;
    GetSystemErrorText(code, text);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return text;
}
