#pragma once

#include <objbase.h>
#include <oleauto.h>

#include <memory>
#include <utility>

// Holds one reference to a COM interface and releases it once.
template <class T> class CComPointer {
public:
    CComPointer() noexcept = default;
    // Takes over a reference that the caller already owns.
    explicit CComPointer(T* pointer) noexcept : m_pointer(pointer) {}
    CComPointer(const CComPointer& other) noexcept : m_pointer(other.m_pointer) {
        if (m_pointer) {
            m_pointer->AddRef();
        }
    }
    CComPointer(CComPointer&& other) noexcept : m_pointer(other.Detach()) {}
    CComPointer& operator=(CComPointer other) noexcept {
        std::swap(m_pointer, other.m_pointer);
        return *this;
    }
    ~CComPointer() { Reset(); }

    T* Get() const noexcept { return m_pointer; }
    T* operator->() const noexcept { return m_pointer; }
    explicit operator bool() const noexcept { return m_pointer != nullptr; }

    void Reset() noexcept {
        if (T* old = std::exchange(m_pointer, nullptr)) {
            old->Release();
        }
    }

    // The address for an out-parameter; whatever was held before is released first.
    T** Put() noexcept {
        Reset();
        return &m_pointer;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

    T* Detach() noexcept { return std::exchange(m_pointer, nullptr); }

private:
    T* m_pointer = nullptr;
};

struct CoTaskMemDeleter {
    void operator()(void* memory) const noexcept { CoTaskMemFree(memory); }
};

// Memory that COM allocated with CoTaskMemAlloc and that its receiver must free.
template <class T> using CoTaskMemPointer = std::unique_ptr<T, CoTaskMemDeleter>;

struct BstrDeleter {
    void operator()(BSTR text) const noexcept { SysFreeString(text); }
};

// A string that COM allocated with SysAllocString and that its receiver must free.
using BstrPointer = std::unique_ptr<OLECHAR, BstrDeleter>;
