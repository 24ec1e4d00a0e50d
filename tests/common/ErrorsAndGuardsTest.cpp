#include "common/CriticalSection.h"
#include "common/Errors.h"
#include "common/ScopeGuards.h"
#include "common/SystemErrors.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <stdexcept>
#include <thread>

namespace {

void ExpectOrvException(void (*thrower)(), const wchar_t* message) {
    try {
        thrower();
        FAIL() << "nothing was thrown";
    } catch (COrvException& e) {
        EXPECT_EQ(e.GetText(), message);
        EXPECT_EQ(e.GetCode(), 0);
    }
}

} // namespace

TEST(Errors, ThrowFunctionsCarryTheirExactMessagesAndCodeZero) {
    ExpectOrvException(ThrowOutOfMemory, L"Out of memory");
    ExpectOrvException(ThrowUnknownError, L"Unknown error");
    ExpectOrvException(ThrowUnzipError, L"Cannot unzip the downloaded archive.");
}

// Without an object that leaves an error object, the cause is the system's text for the result,
// or the result itself where the system has none.
TEST(Errors, CheckHResultThrowsOnlyForFailuresWithTheResultAsItsCause) {
    EXPECT_NO_THROW(CheckHResult(S_OK));
    EXPECT_NO_THROW(CheckHResult(S_FALSE));
    EXPECT_NO_THROW(CheckHResult(0x7FFFFFFF));
    const struct {
        HRESULT failure;
        std::wstring cause;
    } failures[] = {
        {E_FAIL, DescribeSystemError(static_cast<DWORD>(E_FAIL))},
        {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
         DescribeSystemError(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)))},
        {static_cast<HRESULT>(0x8FFF1234), L"0x8FFF1234"},
    };
    for (const auto& entry : failures) {
        try {
            CheckHResult(entry.failure);
            ADD_FAILURE() << std::hex << entry.failure << " passed";
        } catch (COrvException& e) {
            EXPECT_EQ(e.GetText(), L"Cannot unzip the downloaded archive.");
            EXPECT_FALSE(e.GetCause().empty());
            EXPECT_EQ(e.GetCause(), entry.cause);
        }
    }
}

TEST(Errors, CopyKeepsMessageCodeAndCause) {
    const COrvException original(L"Can not move file: C:\\App\\a.dll", 7, L"Access is denied.");
    const COrvException copy(original);
    EXPECT_EQ(copy.GetText(), original.GetText());
    EXPECT_EQ(copy.GetCode(), 7);
    EXPECT_EQ(copy.Describe(), L"Can not move file: C:\\App\\a.dll (Access is denied.)");
    EXPECT_EQ(COrvException(L"Unknown error", 0).Describe(), L"Unknown error");
}

TEST(OnOffGuard, ClearsTheFlagOnlyWhenTheScopeEndsAlsoByException) {
    std::atomic<bool> flag{true};
    {
        COnOffGuard guard(&flag);
        EXPECT_TRUE(flag.load());
    }
    EXPECT_FALSE(flag.load());

    flag = true;
    EXPECT_THROW(
        {
            COnOffGuard guard(&flag);
            throw std::runtime_error("unwinding");
        },
        std::runtime_error);
    EXPECT_FALSE(flag.load());

    { COnOffGuard guard(&flag); }
    EXPECT_FALSE(flag.load());
}

TEST(OnOffGuard, PublishesWhatTheWorkerWroteBeforeClearing) {
    std::atomic<bool> busy{true};
    int result = 0;
    std::thread worker([&] {
        COnOffGuard guard(&busy);
        result = 42;
    });
    while (busy.load(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
    EXPECT_EQ(result, 42);
    worker.join();
}

TEST(MemHandleGuard, ReleasesTheBufferAndKeepsTheFlag) {
    bool failed = false;
    wchar_t* buffer = static_cast<wchar_t*>(LocalAlloc(LMEM_ZEROINIT, 64));
    ASSERT_NE(buffer, nullptr);
    { CMemHandleGuard guard(&buffer, &failed); }
    EXPECT_EQ(buffer, nullptr);
    EXPECT_FALSE(failed);

    failed = true;
    buffer = static_cast<wchar_t*>(LocalAlloc(LMEM_ZEROINIT, 64));
    EXPECT_THROW(
        {
            CMemHandleGuard guard(&buffer, &failed);
            throw std::runtime_error("unwinding");
        },
        std::runtime_error);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_TRUE(failed) << "the guard never clears the caller's failure";
}

TEST(MemHandleGuard, NullBufferIsLeftAlone) {
    bool failed = false;
    wchar_t* buffer = nullptr;
    { CMemHandleGuard guard(&buffer, &failed); }
    EXPECT_EQ(buffer, nullptr);
    EXPECT_FALSE(failed);
}

TEST(GuidGuard, HoldsAFreshGuidOnlyAfterCreate) {
    CGuidGuard first;
    EXPECT_EQ(first.Get(), nullptr);
    ASSERT_TRUE(first.Create());
    ASSERT_NE(first.Get(), nullptr);
    CGuidGuard second;
    ASSERT_TRUE(second.Create());
    EXPECT_FALSE(IsEqualGUID(*first.Get(), *second.Get()));
}

TEST(ComGuard, InitialisesComForItsScopeOnly) {
    std::thread([] {
        {
            CComGuard guard;
            // A second initialisation in the same apartment answers S_FALSE while the guard holds.
            const HRESULT again = CoInitialize(nullptr);
            EXPECT_EQ(again, S_FALSE);
            CoUninitialize();
        }
        const HRESULT fresh = CoInitialize(nullptr);
        EXPECT_EQ(fresh, S_OK) << "the guard left COM initialised";
        CoUninitialize();
    }).join();
}

TEST(CriticalSectionGuard, LeavesTheSectionWhenUnwinding) {
    CCriticalSection section;
    EXPECT_THROW(
        {
            CCriticalSectionGuard guard(&section);
            throw std::runtime_error("unwinding");
        },
        std::runtime_error);
    bool entered = false;
    std::thread other([&] {
        CCriticalSectionGuard guard(&section);
        entered = true;
    });
    other.join();
    EXPECT_TRUE(entered) << "another thread could not enter after the unwinding";
}

TEST(CriticalSectionGuard, ExcludesOtherThreads) {
    CCriticalSection section;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CCriticalSectionGuard guard(&section);
            const long seen = counter;
            counter = seen + 1;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}
