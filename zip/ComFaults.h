#pragma once

#include <objbase.h>

#include <exception>

// The HRESULT for an exception that the reader or the standard library threw; COM calls must
// never let one escape.
HRESULT ResultOfException(std::exception_ptr fault) noexcept;

template <class Body> HRESULT GuardComCall(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return ResultOfException(std::current_exception());
    }
}
