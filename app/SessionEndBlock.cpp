#include "app/SessionEndBlock.h"

#include <utility>

namespace {

constexpr wchar_t ClassName[] = L"Orvandel Updater session end";

} // namespace

CSessionEndBlock::CSessionEndBlock(DWORD longestWaitMilliseconds, TBlockReasonCalls calls) noexcept
    : m_longestWait(longestWaitMilliseconds), m_calls(std::move(calls)),
      m_finished(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!m_finished.IsValid()) {
        m_windowError = GetLastError();
        return;
    }
    // The window is made beside the install, which need not wait for it.
    try {
        std::promise<HWND> made;
        m_window = made.get_future().share();
        m_thread = std::thread([this, made = std::move(made)]() mutable { Listen(made); });
    } catch (...) {
        m_window = std::shared_future<HWND>();
        m_windowError = ERROR_NOT_ENOUGH_MEMORY;
    }
}

CSessionEndBlock::~CSessionEndBlock() {
    Finish();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

HWND CSessionEndBlock::GetWindow() const {
    return m_window.valid() ? m_window.get() : nullptr;
}

bool CSessionEndBlock::MustRollBack(std::size_t filesMoved, std::size_t filesTotal) const noexcept {
    return IsSessionEnding() && filesMoved * 2 < filesTotal;
}

void CSessionEndBlock::Finish() noexcept {
    if (m_finished.IsValid()) {
        SetEvent(m_finished.Get());
    }
}

ATOM CSessionEndBlock::GetWindowClass() noexcept {
    static const ATOM windowClass = [] {
        WNDCLASSW description{};
        description.lpfnWndProc = &WindowProc;
        description.hInstance = GetModuleHandleW(nullptr);
        description.lpszClassName = ClassName;
        return RegisterClassW(&description);
    }();
    return windowClass;
}

LRESULT CALLBACK CSessionEndBlock::WindowProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* self = reinterpret_cast<CSessionEndBlock*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message == WM_QUERYENDSESSION) {
        // The session may end: what is left is done in the time that WM_ENDSESSION is given.
        self->HoldSession(window);
        return TRUE;
    }
    if (self != nullptr && message == WM_ENDSESSION) {
        if (wParam != FALSE) {
            self->m_ending = true;
            WaitForSingleObject(self->m_finished.Get(), self->m_longestWait);
        }
        self->ReleaseSession(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The window is not message-only: those hear nothing of the session. Messages sent to it are
// handled while the thread waits for the owner to finish.
void CSessionEndBlock::Listen(std::promise<HWND>& made) noexcept {
    const HWND created =
        CreateWindowExW(0, MAKEINTATOM(GetWindowClass()), L"Orvandel Updater", WS_OVERLAPPED, 0, 0,
                        0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    m_windowError = created == nullptr ? GetLastError() : ERROR_SUCCESS;
    CWindow window(created);
    made.set_value(created);
    if (!window.IsValid()) {
        return;
    }
    const HANDLE finished = m_finished.Get();
    while (MsgWaitForMultipleObjects(1, &finished, FALSE, INFINITE, QS_ALLINPUT) ==
           WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    ReleaseSession(window.Get());
}

void CSessionEndBlock::HoldSession(HWND window) noexcept {
    if (m_reasonSet) {
        return;
    }
    if (m_calls.create(window, Reason)) {
        m_reasonSet = true;
        m_reasonError = ERROR_SUCCESS;
    } else {
        m_reasonError = GetLastError();
    }
}

void CSessionEndBlock::ReleaseSession(HWND window) noexcept {
    if (m_reasonSet) {
        m_calls.destroy(window);
        m_reasonSet = false;
    }
}
