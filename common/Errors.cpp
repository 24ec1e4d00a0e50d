#include "common/Errors.h"

#include "common/ComPointer.h"
#include "common/SystemErrors.h"

#include <oaidl.h>

#include <cstdio>
#include <iterator>

namespace {

// The description of the thread's error object, taken from the thread, where the object says
// that the interface leaves one; empty otherwise.
std::wstring TakeErrorDescription(IUnknown* object, REFIID iid) {
    CComPointer<ISupportErrorInfo> support;
    if (object == nullptr ||
        FAILED(object->QueryInterface(IID_ISupportErrorInfo, support.PutVoid())) ||
        support->InterfaceSupportsErrorInfo(iid) != S_OK) {
        return std::wstring();
    }
    CComPointer<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info) {
        return std::wstring();
    }
    BSTR description = nullptr;
    const HRESULT got = info->GetDescription(&description);
    const BstrPointer owned(description);
    if (FAILED(got) || !owned) {
        return std::wstring();
    }
    return std::wstring(owned.get(), SysStringLen(owned.get()));
}

std::wstring DescribeResult(HRESULT result) {
    std::wstring text = DescribeSystemError(static_cast<DWORD>(result));
    if (text.empty()) {
        wchar_t code[16] = {};
        std::swprintf(code, std::size(code), L"0x%08lX", static_cast<unsigned long>(result));
        text = code;
    }
    return text;
}

} // namespace

COrvException::COrvException(const std::wstring& message, int code, std::wstring cause)
    : m_message(message), m_code(code), m_cause(std::move(cause)) {}

std::wstring COrvException::Describe() const {
    return m_cause.empty() ? m_message : m_message + L" (" + m_cause + L")";
}

void ThrowOutOfMemory() {
    throw COrvException(L"Out of memory", 0);
}

void ThrowUnknownError() {
    throw COrvException(L"Unknown error", 0);
}

void ThrowUnzipError() {
    ThrowUnzipError(std::wstring());
}

void ThrowUnzipError(std::wstring cause) {
    throw COrvException(L"Cannot unzip the downloaded archive.", 0, std::move(cause));
}

void ThrowUnzipError(HRESULT hr, IUnknown* object, REFIID iid) {
    std::wstring cause = TakeErrorDescription(object, iid);
    ThrowUnzipError(cause.empty() ? DescribeResult(hr) : std::move(cause));
}

void CheckHResult(HRESULT hr, IUnknown* object, REFIID iid) {
    if (FAILED(hr)) {
        ThrowUnzipError(hr, object, iid);
    }
}
