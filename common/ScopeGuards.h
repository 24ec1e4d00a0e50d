#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

// Initialises COM in a single-threaded apartment for the constructing thread, for its scope.
class CComGuard {
public:
    CComGuard();
    CComGuard(const CComGuard&) = delete;
    CComGuard& operator=(const CComGuard&) = delete;
    virtual ~CComGuard();
};

// Owns one freshly created GUID.
class CGuidGuard {
public:
    CGuidGuard() = default;
    CGuidGuard(const CGuidGuard&) = delete;
    CGuidGuard& operator=(const CGuidGuard&) = delete;
    virtual ~CGuidGuard() = default;

    bool Create();
    const GUID* Get() const { return m_guid.get(); }

private:
    std::unique_ptr<GUID> m_guid;
};

// Clears a flag that another thread polls when the scope ends, publishing everything the
// scope wrote before it. An event given with it is set right before, so that the other thread
// can wait for the flag instead of polling it; the flag stays the answer.
class COnOffGuard {
public:
    explicit COnOffGuard(std::atomic<bool>* flag, HANDLE clearing = nullptr)
        : m_flag(flag), m_clearing(clearing) {}
    COnOffGuard(const COnOffGuard&) = delete;
    COnOffGuard& operator=(const COnOffGuard&) = delete;
    virtual ~COnOffGuard();

private:
    std::atomic<bool>* m_flag;
    HANDLE m_clearing;
};

// Releases with LocalFree the text that Windows allocated into the caller's variable; a failed
// release is reported through the caller's failure flag.
class CMemHandleGuard {
public:
    CMemHandleGuard(wchar_t** buffer, bool* failed) : m_buffer(buffer), m_failed(failed) {}
    CMemHandleGuard(const CMemHandleGuard&) = delete;
    CMemHandleGuard& operator=(const CMemHandleGuard&) = delete;
    virtual ~CMemHandleGuard();

private:
    wchar_t** m_buffer;
    bool* m_failed;
};
