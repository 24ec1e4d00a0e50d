#include "app/SessionEndBlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Windows makes no window without a desktop, which Wine has only on an X display; the e2e group
// Logoff runs these tests on one.

namespace {

// What the block told Windows, in order, with the window it named; the owner's Finish among it.
class CReasonRecord {
public:
    explicit CReasonRecord(DWORD createError = ERROR_SUCCESS) : m_createError(createError) {}

    TBlockReasonCalls Calls() {
        return {[this](HWND window, LPCWSTR reason) {
                    Add(L"create " + std::wstring(reason), window);
                    SetLastError(m_createError);
                    return m_createError == ERROR_SUCCESS ? TRUE : FALSE;
                },
                [this](HWND window) {
                    Add(L"destroy", window);
                    return TRUE;
                }};
    }

    void Add(const std::wstring& event, HWND window) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        m_windows.push_back(window);
    }

    std::vector<std::wstring> Events() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    std::vector<HWND> Windows() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_windows;
    }

private:
    const DWORD m_createError;
    std::mutex m_mutex;
    std::vector<std::wstring> m_events;
    std::vector<HWND> m_windows;
};

const std::wstring Created = L"create Finishing an update of Orvandel";

} // namespace

TEST(SessionEndBlock, HoldsTheEndingSessionUntilTheOwnerHasFinished) {
    CReasonRecord record;
    CSessionEndBlock block(CSessionEndBlock::LongestWait, record.Calls());
    const HWND window = block.GetWindow();
    if (window == nullptr) {
        GTEST_SKIP() << "no desktop to make a window on";
    }
    EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    EXPECT_FALSE(block.IsSessionEnding()) << "Windows only asked";
    EXPECT_FALSE(block.MustRollBack(0, 10));

    // The owner finishes once it sees the session end, on a thread of its own, while this one
    // waits in the message; the message must not return before that.
    std::atomic<bool> returned{false};
    std::thread owner([&] {
        while (!block.IsSessionEnding() && !returned) {
            Sleep(1);
        }
        if (!returned) {
            record.Add(L"finish", nullptr);
            block.Finish();
        }
    });
    SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    returned = true;
    owner.join();

    EXPECT_EQ(record.Events(), (std::vector<std::wstring>{Created, L"finish", L"destroy"}));
    EXPECT_EQ(record.Windows(), (std::vector<HWND>{window, nullptr, window}));
    EXPECT_EQ(block.GetReasonError(), static_cast<DWORD>(ERROR_SUCCESS));
    struct TDecision {
        std::size_t filesMoved, filesTotal;
        bool rollBack;
    };
    for (const TDecision& decision :
         {TDecision{0, 1500, true}, TDecision{749, 1500, true}, TDecision{750, 1500, false},
          TDecision{2, 5, true}, TDecision{3, 5, false}, TDecision{0, 0, false}}) {
        EXPECT_EQ(block.MustRollBack(decision.filesMoved, decision.filesTotal), decision.rollBack)
            << decision.filesMoved << " of " << decision.filesTotal;
    }
}

// Nobody finishes here: the wait is bounded, a session that goes on is not waited for, and a
// reason that Windows refuses (as Wine does) is not taken back.
TEST(SessionEndBlock, ReturnsFromTheEndWithoutTheOwnerWhenItMust) {
    struct TCase {
        WPARAM ending;
        DWORD createError;
        std::vector<std::wstring> events;
    };
    const std::vector<TCase> cases = {
        {TRUE, ERROR_SUCCESS, {Created, L"destroy"}},
        {FALSE, ERROR_SUCCESS, {Created, L"destroy"}},
        {TRUE, ERROR_CALL_NOT_IMPLEMENTED, {Created}},
    };
    for (const TCase& test : cases) {
        CReasonRecord record(test.createError);
        CSessionEndBlock block(1, record.Calls());
        const HWND window = block.GetWindow();
        if (window == nullptr) {
            GTEST_SKIP() << "no desktop to make a window on";
        }
        EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), TRUE);
        SendMessageW(window, WM_ENDSESSION, test.ending, 0);
        EXPECT_EQ(block.IsSessionEnding(), test.ending != FALSE);
        EXPECT_EQ(block.GetReasonError(), test.createError);
        EXPECT_EQ(record.Events(), test.events);
    }
}
