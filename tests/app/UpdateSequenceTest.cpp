#include "app/UpdateSequence.h"

#include "common/Guid.h"
#include "install/Recovery.h"

#include "UnpackTestSupport.h"
#include "support/AllocationLimit.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace {

// A run that memory failed in the middle of finishing its journal leaves it for the next run,
// as a run that died would.
void FinishLeftJournals() {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.starts_with(L"Orvandel Updater ") && name.ends_with(L".journal")) {
            CTransientRetry retry;
            FinishJournal(entry.path().wstring(), retry);
        }
    }
}

} // namespace

// Memory may run out at any step of a run, also outside its failure handling; wherever it does,
// the run must return as usual and leave the application directory at exactly one version.
TEST(RunUpdate, WhereverMemoryRunsOutTheRunEndsNormallyAtOneVersion) {
    TempFolder temp;
    const std::wstring app = temp / L"App";
    WriteTextFile(app + L"\\readme.txt", "the old readme");
    WriteTextFile(app + L"\\kept.txt", "not in the update");
    const FolderContents old = ReadFolder(app);
    FolderContents updated = ReadFolder(FixturePath(L"good-basic.expected"));
    updated[L"kept.txt"] = "not in the update";
    std::wstring mutex;
    CreateGuidString(mutex);
    const std::wstring commandLine = L"\"" + app + L"\\Orvandel.exe\" \"Orvandel" + mutex +
                                     L"\" \"" + FixturePath(L"good-basic.zip") + L"\" \"\" \"\"";

    long needed = 0;
    {
        const CAllocationLimit counter(LONG_MAX);
        RunUpdate(commandLine);
        needed = counter.GetCount();
    }
    ASSERT_EQ(ReadFolder(app), updated);
    // Every allocation of the first steps (fewer than 50 up to the unpack) and of the last ones,
    // which lie outside the failure handling, and a sample of those inside it: each run waits
    // for the mutex as usual.
    std::set<long> limits;
    for (long allowed = 0; allowed < 60; ++allowed) {
        limits.insert(allowed);
    }
    for (long step = 1; step <= 6; ++step) {
        limits.insert(needed * step / 6 - 1);
        limits.insert(needed - step);
    }
    for (const long allowed : limits) {
        int result = -1;
        {
            const CAllocationLimit limit(std::max(allowed, 0L));
            result = RunUpdate(commandLine);
        }
        EXPECT_EQ(result, 0);
        FinishLeftJournals();
        const FolderContents after = ReadFolder(app);
        EXPECT_TRUE(after == old || after == updated) << allowed << " allocations allowed";
    }
    RunUpdate(commandLine);
    EXPECT_EQ(ReadFolder(app), updated);
}
