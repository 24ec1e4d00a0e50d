#pragma once

#include <windows.h>

#include <functional>

// Virus scanners, indexers and backup agents open a file that was just written, or one that is
// about to be replaced, for a moment without sharing. A rename, move or delete refused for that
// is tried again after a pause that doubles from 50 ms to 1 s, for at most 10 s per operation
// and 30 s per run in all; then it fails as it would have at once.
class CTransientRetry {
public:
    using SleepFunction = void (*)(DWORD milliseconds);

    explicit CTransientRetry(SleepFunction sleep = &PauseThread);
    CTransientRetry(const CTransientRetry&) = delete;
    CTransientRetry& operator=(const CTransientRetry&) = delete;
    virtual ~CTransientRetry() = default;

    // The attempt answers ERROR_SUCCESS or why it failed; so does Run, for the last attempt.
    DWORD Run(const std::function<DWORD()>& attempt);

    // All the pauses of the run so far.
    DWORD GetWaitedMilliseconds() const { return m_waited; }

private:
    static void PauseThread(DWORD milliseconds);

    SleepFunction m_sleep;
    DWORD m_waited = 0;
};
