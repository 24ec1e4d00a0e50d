#pragma once

#include <objbase.h>

#include <exception>

// How the component's methods fail, as COM has it: with an HRESULT, and with the thread's error
// object (SetErrorInfo) saying what the HRESULT cannot, such as the reader's reason and the
// entry's name. Every failing method of every interface that the component's objects answer
// leaves the error object set or cleared (ISupportErrorInfo says so for all of them), so that a
// caller reading it after a failure never gets an older one.

// The HRESULT for an exception that the reader or the standard library threw, which COM calls
// must never let escape; a fault of the reader is described by the error object.
HRESULT ReportException(std::exception_ptr fault) noexcept;

// A failure that has nothing to say beyond its HRESULT: the error object is cleared.
HRESULT ReportFailure(HRESULT result) noexcept;

template <class Body> HRESULT GuardComCall(Body&& body) noexcept {
    try {
        const HRESULT result = body();
        return FAILED(result) ? ReportFailure(result) : result;
    } catch (...) {
        return ReportException(std::current_exception());
    }
}
