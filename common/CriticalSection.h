#pragma once

#include <windows.h>

class CCriticalSection {
public:
    CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;
    virtual ~CCriticalSection();

    void Enter();
    void Leave();

private:
    CRITICAL_SECTION m_section;
};

// Holds a critical section for the guard's scope.
class CCriticalSectionGuard {
public:
    explicit CCriticalSectionGuard(CCriticalSection* section);
    CCriticalSectionGuard(const CCriticalSectionGuard&) = delete;
    CCriticalSectionGuard& operator=(const CCriticalSectionGuard&) = delete;
    virtual ~CCriticalSectionGuard();

private:
    CCriticalSection* m_section;
};
