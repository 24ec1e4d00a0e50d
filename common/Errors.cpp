#include "common/Errors.h"

COrvException::COrvException(const std::wstring& message, int code)
    : m_message(message), m_code(code) {}

void ThrowOutOfMemory() {
    throw COrvException(L"Out of memory", 0);
}

void ThrowUnknownError() {
    throw COrvException(L"Unknown error", 0);
}

void ThrowUnzipError() {
    throw COrvException(L"Cannot unzip the downloaded archive.", 0);
}

void CheckHResult(HRESULT hr) {
    if (FAILED(hr)) {
        ThrowUnzipError();
    }
}
