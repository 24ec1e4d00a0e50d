#include "common/SystemErrors.h"

#include "common/ScopeGuards.h"

void GetSystemErrorText(DWORD code, std::wstring& out) {
    wchar_t* buffer = nullptr;
    bool failed = false;
    std::wstring text;
    {
        const CMemHandleGuard guard(&buffer, &failed);
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_FROM_SYSTEM,
                           nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
        if (length == 0) {
            return;
        }
        text = buffer;
    }
    if (!failed) {
        out = std::move(text);
    }
}

std::wstring DescribeSystemError(DWORD code) {
    std::wstring text;
    GetSystemErrorText(code, text);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return text;
}
