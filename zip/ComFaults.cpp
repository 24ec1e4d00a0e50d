#include "zip/ComFaults.h"

#include "core/ZipFault.h"

#include <new>

HRESULT ResultOfException(std::exception_ptr fault) noexcept {
    try {
        std::rethrow_exception(fault);
    } catch (const CZipException& zipFault) {
        switch (zipFault.GetFault()) {
        case ZipFault::Unsupported:
            return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
        case ZipFault::ReadFailed:
            return STG_E_READFAULT;
        case ZipFault::Damaged:
            break;
        }
        return STG_E_DOCFILECORRUPT;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
