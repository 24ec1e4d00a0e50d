#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <utility>

// Windows reports a failed open with one of two values: file and snapshot functions return
// INVALID_HANDLE_VALUE, process, thread and mutex functions return null. The traits name the
// handle's type, which value is invalid, and how the handle is closed.
struct FileHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

struct ObjectHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

// A directory search of FindFirstFileW, which only FindClose ends.
struct FindHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { FindClose(handle); }
};

// A mutex that this thread created as its initial owner: given up before the handle goes, so
// that a waiter is not told the owner was abandoned.
struct OwnedMutexTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE handle) noexcept {
        ReleaseMutex(handle);
        CloseHandle(handle);
    }
};

struct RegistryKeyTraits {
    using Type = HKEY;
    static HKEY Invalid() noexcept { return nullptr; }
    static void Close(HKEY key) noexcept { RegCloseKey(key); }
};

// A window, which only the thread that made it may destroy.
struct WindowTraits {
    using Type = HWND;
    static HWND Invalid() noexcept { return nullptr; }
    static void Close(HWND window) noexcept { DestroyWindow(window); }
};

// Memory that Windows allocated for the caller, such as a security descriptor.
struct LocalMemoryTraits {
    using Type = HLOCAL;
    static HLOCAL Invalid() noexcept { return nullptr; }
    static void Close(HLOCAL memory) noexcept { LocalFree(memory); }
};

// A DLL loaded at run time; see common/SystemLibrary.h.
struct ModuleTraits {
    using Type = HMODULE;
    static HMODULE Invalid() noexcept { return nullptr; }
    static void Close(HMODULE module) noexcept { FreeLibrary(module); }
};

// CNG objects: an algorithm provider, a key, a hash. Each kind has its own way to be let go,
// through bcrypt's functions as they were looked up (common/CngFunctions.cpp): the updater
// imports nothing from bcrypt.dll.
struct CryptAlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static BCRYPT_ALG_HANDLE Invalid() noexcept { return nullptr; }
    static void Close(BCRYPT_ALG_HANDLE algorithm) noexcept;
};

struct CryptKeyTraits {
    using Type = BCRYPT_KEY_HANDLE;
    static BCRYPT_KEY_HANDLE Invalid() noexcept { return nullptr; }
    static void Close(BCRYPT_KEY_HANDLE key) noexcept;
};

struct CryptHashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static BCRYPT_HASH_HANDLE Invalid() noexcept { return nullptr; }
    static void Close(BCRYPT_HASH_HANDLE hash) noexcept;
};

// Owns one handle and closes it once.
template <class Traits> class CHandle {
public:
    using Type = typename Traits::Type;

    CHandle() noexcept = default;
    explicit CHandle(Type handle) noexcept : m_handle(handle) {}
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_handle(other.Release()) {}
    CHandle& operator=(CHandle&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~CHandle() { Reset(); }

    Type Get() const noexcept { return m_handle; }
    bool IsValid() const noexcept { return m_handle != Traits::Invalid(); }

    void Reset(Type handle = Traits::Invalid()) noexcept {
        const Type old = std::exchange(m_handle, handle);
        if (old != Traits::Invalid() && old != handle) {
            Traits::Close(old);
        }
    }

    // The address for an out-parameter; whatever was held before is closed first.
    Type* Put() noexcept {
        Reset();
        return &m_handle;
    }

    Type Release() noexcept { return std::exchange(m_handle, Traits::Invalid()); }

private:
    Type m_handle = Traits::Invalid();
};

using CFileHandle = CHandle<FileHandleTraits>;
using CObjectHandle = CHandle<ObjectHandleTraits>;
using CFindHandle = CHandle<FindHandleTraits>;
using COwnedMutex = CHandle<OwnedMutexTraits>;
using CRegistryKey = CHandle<RegistryKeyTraits>;
using CWindow = CHandle<WindowTraits>;
using CModule = CHandle<ModuleTraits>;
using CCryptAlgorithm = CHandle<CryptAlgorithmTraits>;
using CCryptKey = CHandle<CryptKeyTraits>;
using CCryptHash = CHandle<CryptHashTraits>;
using CLocalMemory = CHandle<LocalMemoryTraits>;
