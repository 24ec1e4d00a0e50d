#pragma once

#include <windows.h>

#include <utility>

// Windows reports a failed open with one of two values: file and snapshot functions return
// INVALID_HANDLE_VALUE, process, thread and mutex functions return null. The traits name which,
// and how the handle is closed.
struct FileHandleTraits {
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

struct ObjectHandleTraits {
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

// A directory search of FindFirstFileW, which only FindClose ends.
struct FindHandleTraits {
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { FindClose(handle); }
};

// Owns one kernel handle and closes it once.
template <class Traits> class CHandle {
public:
    CHandle() noexcept = default;
    explicit CHandle(HANDLE handle) noexcept : m_handle(handle) {}
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_handle(other.Release()) {}
    CHandle& operator=(CHandle&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~CHandle() { Reset(); }

    HANDLE Get() const noexcept { return m_handle; }
    bool IsValid() const noexcept { return m_handle != Traits::Invalid(); }

    void Reset(HANDLE handle = Traits::Invalid()) noexcept {
        const HANDLE old = std::exchange(m_handle, handle);
        if (old != Traits::Invalid() && old != handle) {
            Traits::Close(old);
        }
    }

    HANDLE Release() noexcept { return std::exchange(m_handle, Traits::Invalid()); }

private:
    HANDLE m_handle = Traits::Invalid();
};

using CFileHandle = CHandle<FileHandleTraits>;
using CObjectHandle = CHandle<ObjectHandleTraits>;
using CFindHandle = CHandle<FindHandleTraits>;
