#include "zip/ComFaults.h"

#include "common/ComPointer.h"
#include "common/TextHelpers.h"
#include "core/ZipFault.h"

#include <oleauto.h>

#include <new>
#include <string>

namespace {

HRESULT ResultOf(const CZipException& fault) {
    switch (fault.GetFault()) {
    case ZipFault::Unsupported:
        return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    case ZipFault::ReadFailed:
        return STG_E_READFAULT;
    case ZipFault::Damaged:
        break;
    }
    return STG_E_DOCFILECORRUPT;
}

// False where no error object can be made, for want of memory; the caller then has the HRESULT.
bool SetErrorDescription(const std::wstring& description) noexcept {
    CComPointer<ICreateErrorInfo> creating;
    if (FAILED(CreateErrorInfo(creating.Put())) ||
        FAILED(creating->SetDescription(const_cast<LPOLESTR>(description.c_str())))) {
        return false;
    }
    CComPointer<IErrorInfo> info;
    if (FAILED(creating->QueryInterface(IID_IErrorInfo, info.PutVoid()))) {
        return false;
    }
    return SUCCEEDED(SetErrorInfo(0, info.Get()));
}

} // namespace

HRESULT ReportException(std::exception_ptr fault) noexcept {
    try {
        std::rethrow_exception(fault);
    } catch (const CZipException& zipFault) {
        const HRESULT result = ResultOf(zipFault);
        try {
            if (SetErrorDescription(FromUtf8(zipFault.Describe()))) {
                return result;
            }
        } catch (...) {
        }
        return ReportFailure(result);
    } catch (const std::bad_alloc&) {
        return ReportFailure(E_OUTOFMEMORY);
    } catch (...) {
        return ReportFailure(E_UNEXPECTED);
    }
}

HRESULT ReportFailure(HRESULT result) noexcept {
    SetErrorInfo(0, nullptr);
    return result;
}
