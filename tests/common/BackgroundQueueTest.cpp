#include "common/BackgroundQueue.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

// A processor slower than the thread that adds: the queue fills, the adder waits, and Finish
// returns only after the last item.
TEST(BackgroundQueue, ProcessesEveryItemInOrderBeforeFinishReturns) {
    std::vector<std::string> processed;
    const DWORD adder = GetCurrentThreadId();
    DWORD processor = adder;
    CBackgroundQueue<std::string> queue(
        [&](std::string& item) {
            Sleep(2);
            processor = GetCurrentThreadId();
            processed.push_back(std::move(item));
        },
        2);
    std::vector<std::string> added;
    for (int i = 0; i < 20; ++i) {
        added.push_back(std::to_string(i));
        queue.Add(added.back());
    }
    queue.Finish();
    EXPECT_EQ(processed, added);
    EXPECT_NE(processor, adder);
}
