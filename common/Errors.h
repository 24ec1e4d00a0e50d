#pragma once

#include <windows.h>

#include <string>

// The failure of an update step: a fixed, human-readable message and a code that is always 0.
class COrvException {
public:
    COrvException(const std::wstring& message, int code);

    const std::wstring& GetText() const { return m_message; }
    int GetCode() const { return m_code; }

private:
    std::wstring m_message;
    int m_code;
};

[[noreturn]] void ThrowOutOfMemory();
[[noreturn]] void ThrowUnknownError();
[[noreturn]] void ThrowUnzipError();

// Every failed archive access reads the same to the user, whichever call failed.
void CheckHResult(HRESULT hr);
