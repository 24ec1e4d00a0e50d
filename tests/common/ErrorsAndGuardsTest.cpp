#include "common/CriticalSection.h"
#include "common/Errors.h"
#include "common/ScopeGuards.h"

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

TEST(Errors, CheckHResultThrowsOnlyForFailures) {
    EXPECT_NO_THROW(CheckHResult(S_OK));
    EXPECT_NO_THROW(CheckHResult(S_FALSE));
    EXPECT_NO_THROW(CheckHResult(0x7FFFFFFF));
    for (HRESULT failure :
         {E_FAIL, E_NOTIMPL, STG_E_FILENOTFOUND, static_cast<HRESULT>(0x80000000)}) {
        try {
            CheckHResult(failure);
            ADD_FAILURE() << std::hex << failure << " passed";
        } catch (COrvException& e) {
            EXPECT_EQ(e.GetText(), L"Cannot unzip the downloaded archive.");
        }
    }
}

TEST(Errors, CopyKeepsMessageAndCode) {
    const COrvException original(L"Can not move file: C:\\App\\a.dll", 7);
    const COrvException copy(original);
    EXPECT_EQ(copy.GetText(), original.GetText());
    EXPECT_EQ(copy.GetCode(), 7);
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
