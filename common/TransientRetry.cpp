#include "common/TransientRetry.h"

#include <algorithm>

namespace {

constexpr DWORD FirstPause = 50;
constexpr DWORD LongestPause = 1000;
constexpr DWORD LongestWaitPerOperation = 10000;
constexpr DWORD LongestWaitPerRun = 30000;

// A file that is missing, or a name that is taken, will not change by waiting.
bool IsTransient(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

} // namespace

CTransientRetry::CTransientRetry(SleepFunction sleep) : m_sleep(sleep) {}

DWORD CTransientRetry::Run(const std::function<DWORD()>& attempt) {
    DWORD pause = FirstPause;
    DWORD waited = 0;
    for (;;) {
        const DWORD error = attempt();
        if (!IsTransient(error) || waited >= LongestWaitPerOperation ||
            m_waited >= LongestWaitPerRun) {
            return error;
        }
        const DWORD next =
            std::min({pause, LongestWaitPerOperation - waited, LongestWaitPerRun - m_waited});
        m_sleep(next);
        waited += next;
        m_waited += next;
        pause = std::min(pause * 2, LongestPause);
    }
}

void CTransientRetry::PauseThread(DWORD milliseconds) {
    Sleep(milliseconds);
}
