#include "common/TransientRetry.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <vector>

namespace {

std::vector<DWORD> pauses;

void RecordPause(DWORD milliseconds) {
    pauses.push_back(milliseconds);
}

// An operation that another process blocks for its first failures attempts.
struct TBlockedOperation {
    int failures;
    DWORD error = ERROR_SHARING_VIOLATION;
    int attempts = 0;

    DWORD operator()() { return ++attempts > failures ? ERROR_SUCCESS : error; }
};

DWORD Total(const std::vector<DWORD>& values) {
    return std::accumulate(values.begin(), values.end(), DWORD{0});
}

} // namespace

TEST(TransientRetry, WaitsOutAShortLockWithDoublingPauses) {
    pauses.clear();
    CTransientRetry retry(RecordPause);
    for (const DWORD error : {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_ACCESS_DENIED}) {
        TBlockedOperation operation{3, error};
        EXPECT_EQ(retry.Run(std::ref(operation)), ERROR_SUCCESS);
        EXPECT_EQ(operation.attempts, 4);
    }
    EXPECT_EQ(pauses, (std::vector<DWORD>{50, 100, 200, 50, 100, 200, 50, 100, 200}));
    EXPECT_EQ(retry.GetWaitedMilliseconds(), 1050u);
}

TEST(TransientRetry, NeverWaitsForWhatWaitingCannotChange) {
    pauses.clear();
    CTransientRetry retry(RecordPause);
    for (const DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ALREADY_EXISTS,
                              ERROR_FILE_EXISTS, ERROR_DISK_FULL}) {
        TBlockedOperation operation{1, error};
        EXPECT_EQ(retry.Run(std::ref(operation)), error);
        EXPECT_EQ(operation.attempts, 1);
    }
    EXPECT_TRUE(pauses.empty());
}

TEST(TransientRetry, GivesUpAfterTenSecondsPerOperationAndThirtyPerRun) {
    pauses.clear();
    CTransientRetry retry(RecordPause);
    TBlockedOperation forEver{1 << 30};
    EXPECT_EQ(retry.Run(std::ref(forEver)), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Total(pauses), 10000u);
    EXPECT_EQ(std::vector<DWORD>(pauses.begin(), pauses.begin() + 7),
              (std::vector<DWORD>{50, 100, 200, 400, 800, 1000, 1000}));

    for (int operation = 0; operation < 3; ++operation) {
        TBlockedOperation held{1 << 30};
        EXPECT_EQ(retry.Run(std::ref(held)), ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(Total(pauses), 30000u);
    EXPECT_EQ(retry.GetWaitedMilliseconds(), 30000u);

    // What the run's patience leaves is tried once more, but not waited for.
    TBlockedOperation late{1};
    EXPECT_EQ(retry.Run(std::ref(late)), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(late.attempts, 1);
}
