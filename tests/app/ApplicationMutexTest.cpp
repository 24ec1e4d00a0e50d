#include "app/ApplicationMutex.h"

#include "common/Guid.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

namespace {

std::wstring FreshMutexName() {
    std::wstring guid;
    CreateGuidString(guid);
    return L"OrvandelTest" + guid;
}

// A mutex as the creator of the answer hands it out: owned by this thread.
HANDLE NewOwnedMutex() {
    return CreateMutexW(nullptr, TRUE, nullptr);
}

} // namespace

// Answers in turn; the wait asks until one ends it, and hands on the mutex of that answer.
TEST(WaitForApplicationToQuit, GoesOnWhileTheMutexExistsOrMayNotBeOpened) {
    const struct {
        std::vector<DWORD> errors; // the last one ends the wait
        bool owned;                // the last answer's handle is the one handed on
    } cases[] = {
        {{ERROR_SUCCESS}, true},
        {{ERROR_ALREADY_EXISTS, ERROR_SUCCESS}, true},
        {{ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS, ERROR_ACCESS_DENIED, ERROR_SUCCESS}, true},
        {{ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}, false},
        {{ERROR_PATH_NOT_FOUND}, false},
    };
    for (const auto& entry : cases) {
        std::size_t asked = 0;
        HANDLE last = nullptr;
        const COwnedMutex mutex = WaitForApplicationToQuit(L"Orvandel", [&](const std::wstring&) {
            const DWORD error = entry.errors.at(asked++);
            // Windows hands out no handle where it refuses access or fails otherwise.
            const bool handed = error == ERROR_SUCCESS || error == ERROR_ALREADY_EXISTS;
            last = handed ? NewOwnedMutex() : nullptr;
            return TMutexAnswer{last, error};
        });
        EXPECT_EQ(asked, entry.errors.size());
        EXPECT_EQ(mutex.IsValid(), entry.owned);
        EXPECT_EQ(mutex.Get(), entry.owned ? last : nullptr);
    }
}

// A mutex whose access list grants nothing is one that an application of other rights holds:
// Windows says it exists by refusing access, and the wait goes on until it is gone.
TEST(WaitForApplicationToQuit, WaitsForAMutexThatMayNotBeOpened) {
    const std::wstring name = FreshMutexName();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    const CLocalMemory descriptorMemory(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    CObjectHandle held(CreateMutexW(&attributes, FALSE, name.c_str()));
    ASSERT_TRUE(held.IsValid());
    ASSERT_EQ(CreateApplicationMutex(name).error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    std::future<bool> waited = std::async(
        std::launch::async, [&name] { return WaitForApplicationToQuit(name).IsValid(); });
    EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
    held.Reset();
    EXPECT_TRUE(waited.get());
}
