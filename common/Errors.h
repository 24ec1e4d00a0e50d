#pragma once

#include <windows.h>

#include <objbase.h>

#include <string>

// The failure of an update step: a fixed, human-readable message and a code that is always 0,
// and for the log whatever the code that failed knows of the cause beyond the message.
class COrvException {
public:
    COrvException(const std::wstring& message, int code, std::wstring cause = std::wstring());

    const std::wstring& GetText() const { return m_message; }
    int GetCode() const { return m_code; }
    // Empty where the message says all there is to say.
    const std::wstring& GetCause() const { return m_cause; }
    // The message, and the cause after it where there is one.
    std::wstring Describe() const;

private:
    std::wstring m_message;
    int m_code;
    std::wstring m_cause;
};

[[noreturn]] void ThrowOutOfMemory();
[[noreturn]] void ThrowUnknownError();
[[noreturn]] void ThrowUnzipError();
[[noreturn]] void ThrowUnzipError(std::wstring cause);

// Every failed archive access reads the same to the user, whichever call failed. Its cause, for
// the log, is what COM's error object says, taken from the thread right after the failing call
// of the object's interface iid where the object says that the interface leaves one
// (ISupportErrorInfo), or else the system's text for the result.
[[noreturn]] void ThrowUnzipError(HRESULT hr, IUnknown* object, REFIID iid);
void CheckHResult(HRESULT hr, IUnknown* object = nullptr, REFIID iid = GUID_NULL);
