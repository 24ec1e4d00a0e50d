#pragma once

#include "common/Handle.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <future>
#include <thread>

// How Windows is told why the session has to wait: ShutdownBlockReasonCreate and
// ShutdownBlockReasonDestroy, or a test's stand-ins. Both are called on the window's thread.
struct TBlockReasonCalls {
    std::function<BOOL(HWND, LPCWSTR)> create;
    std::function<BOOL(HWND)> destroy;
};

// Holds a logoff or shutdown back while files are moved into the application directory or
// rolled back, so that the session ends at exactly one version of the application rather than
// leaving the next logon a mix to repair. A windowless program hears of the end of the session
// only through a top-level window, so a hidden one runs on a thread of its own. It answers the
// query at once, with the reason for the wait, and returns from the end of the session only
// once the owner has finished, or after a bounded wait; Windows may end the process after that,
// and the journal still brings the directory to one version at the next logon. Where no thread
// or window can be had (no desktop), nothing is held back and the update goes on as before.
class CSessionEndBlock {
public:
    static constexpr DWORD LongestWait = 60 * 1000;
    static constexpr const wchar_t* Reason = L"Finishing an update of Orvandel";

    explicit CSessionEndBlock(DWORD longestWaitMilliseconds = LongestWait,
                              TBlockReasonCalls calls = {&ShutdownBlockReasonCreate,
                                                         &ShutdownBlockReasonDestroy}) noexcept;
    CSessionEndBlock(const CSessionEndBlock&) = delete;
    CSessionEndBlock& operator=(const CSessionEndBlock&) = delete;
    // Finishes, then waits until the window is gone.
    virtual ~CSessionEndBlock();

    // The window, once its thread has made it; null when it could not be made, and then
    // GetWindowError says why.
    HWND GetWindow() const;
    DWORD GetWindowError() const noexcept { return m_windowError.load(); }

    // True from the moment Windows says the session ends (not merely asks whether it may).
    bool IsSessionEnding() const noexcept { return m_ending.load(); }
    // ERROR_SUCCESS while Windows has taken the reason for the wait, or had no reason to take.
    DWORD GetReasonError() const noexcept { return m_reasonError.load(); }

    // Whether the install should be rolled back rather than completed before the session ends:
    // with fewer than half of its files in, the way back is the shorter one.
    bool MustRollBack(std::size_t filesMoved, std::size_t filesTotal) const noexcept;

    // The install is complete or rolled back: the session may end, and the window goes.
    void Finish() noexcept;

private:
    static ATOM GetWindowClass() noexcept;
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Listen(std::promise<HWND>& made) noexcept;
    void HoldSession(HWND window) noexcept;
    void ReleaseSession(HWND window) noexcept;

    const DWORD m_longestWait;
    const TBlockReasonCalls m_calls;
    CObjectHandle m_finished;
    std::shared_future<HWND> m_window;
    std::atomic<DWORD> m_windowError{ERROR_SUCCESS};
    std::atomic<bool> m_ending{false};
    std::atomic<DWORD> m_reasonError{ERROR_SUCCESS};
    bool m_reasonSet = false; // on the window's thread only
    std::thread m_thread;
};
