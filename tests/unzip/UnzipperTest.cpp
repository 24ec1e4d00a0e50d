#include "unzip/Unzipper.h"

#include "common/FileHelpers.h"
#include "common/Handle.h"

#include "UnpackTestSupport.h"
#include "support/AllocationLimit.h"
#include "support/TempFolder.h"
#include "support/TestZipWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// Reserves every piece of address space that is left, so that no thread stack fits; the
// process gets it back when the hog goes.
class AddressSpaceHog {
public:
    AddressSpaceHog() {
        m_blocks.reserve(1 << 16);
        for (SIZE_T size = SIZE_T{1} << 30; size >= 64 * 1024; size /= 2) {
            while (m_blocks.size() < m_blocks.capacity()) {
                void* block = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
                if (!block) {
                    break;
                }
                m_blocks.push_back(block);
            }
        }
    }
    AddressSpaceHog(const AddressSpaceHog&) = delete;
    AddressSpaceHog& operator=(const AddressSpaceHog&) = delete;
    ~AddressSpaceHog() {
        for (void* block : m_blocks) {
            VirtualFree(block, 0, MEM_RELEASE);
        }
    }

private:
    std::vector<void*> m_blocks;
};

} // namespace

TEST(Unzipper, IsBusyAtOnceAndEndsWithTheArchiveErrorForAMissingArchive) {
    TempFolder temp;
    CUnzipper unzipper;
    EXPECT_FALSE(unzipper.IsBusy());
    unzipper.SetArchivePath(temp / L"missing.zip");
    unzipper.SetDestinationFolder(temp / L"dest");
    unzipper.Start();
    EXPECT_TRUE(unzipper.IsBusy());
    ASSERT_TRUE(WaitUntilIdle(unzipper, 30000));
    EXPECT_EQ(unzipper.GetErrorText(), L"Cannot unzip the downloaded archive.");
    EXPECT_EQ(unzipper.GetRootItem()->GetPath(), L"");
    EXPECT_EQ(ProgressRecords(unzipper).size(), 1u);
    EXPECT_FALSE(fs::exists(temp.Path() / L"dest"));
}

// The message stays the one fixed text; its cause is the reader's reason and the entry's name,
// as the archive component left them in its error object, whichever call met the fault: the
// load, the opening of a stream or a read.
TEST(Unzipper, AFailureOfTheReaderCarriesItsReasonAndTheEntrysName) {
    const struct {
        TTestArchive archive;
        std::wstring cause;
    } cases[] = {
        {{{{"setup.exe", "MZ"}, {"data/b.txt", "new b", 0, 0, false, 0xBAD}}},
         L"data/b.txt: CRC-32 mismatch"},
        {{{{"setup.exe", "MZ"}, {"data/b.bin", "b", 12}}},
         L"data/b.bin: unknown compression method"},
        {{{{"setup.exe", "MZ"}, {"Setup.EXE", "MZ"}}},
         L"Setup.EXE: the same name as setup.exe, as Windows compares names (ignoring case)"},
    };
    for (const auto& entry : cases) {
        TempFolder temp;
        WriteTextFile(temp / L"update.zip", BuildZip(entry.archive));
        CUnzipper unzipper;
        UnpackToEnd(unzipper, temp / L"update.zip", temp / L"dest");
        EXPECT_EQ(unzipper.GetErrorText(), L"Cannot unzip the downloaded archive.");
        EXPECT_EQ(unzipper.GetErrorCause(), entry.cause);
    }
}

// The owner's wait is bounded by the interval, but ends with the worker.
TEST(Unzipper, AWaitWhileBusyEndsWithTheWorkerAndNotWithTheInterval) {
    TempFolder temp;
    CUnzipper unzipper;
    const ULONGLONG start = GetTickCount64();
    unzipper.WaitWhileBusy(60000);
    unzipper.SetArchivePath(FixturePath(L"good-basic.zip"));
    unzipper.SetDestinationFolder(temp / L"dest");
    unzipper.Start();
    unzipper.WaitWhileBusy(60000);
    EXPECT_FALSE(unzipper.IsBusy());
    EXPECT_LT(GetTickCount64() - start, 30000u) << "an idle unpacker or its end was not noticed";
    EXPECT_EQ(unzipper.GetErrorText(), L"");
    EXPECT_TRUE(fs::exists(temp.Path() / L"dest\\setup.exe"));
}

TEST(Unzipper, AnUnpackerThatNeverStartedTouchesNothing) {
    TempFolder temp;
    WriteTextFile(temp / L"dest\\kept.txt", "kept");
    {
        CUnzipper unzipper;
        unzipper.SetArchivePath(FixturePath(L"good-basic.zip"));
        unzipper.SetDestinationFolder(temp / L"dest");
    }
    EXPECT_EQ(ReadTextFile(temp / L"dest\\kept.txt"), "kept");
}

TEST(Unzipper, AWorkerThatCannotStartLeavesAnErrorInsteadOfStayingBusy) {
    TempFolder temp;
    auto unzipper = std::make_unique<CUnzipper>();
    unzipper->SetArchivePath(FixturePath(L"good-basic.zip"));
    unzipper->SetDestinationFolder(temp / L"dest");
    bool busy = false;
    {
        const AddressSpaceHog hog;
        unzipper->Start();
        busy = unzipper->IsBusy();
    }
    if (!WaitUntilIdle(*unzipper, 30000)) {
        unzipper.release(); // a flag that nobody clears: the object must not go away under it
        FAIL() << "the unpacker stays busy for ever";
    }
    EXPECT_FALSE(busy) << "the worker started after all";
    EXPECT_EQ(unzipper->GetErrorText(), L"Failed to unzip the upgrage files.");
    EXPECT_FALSE(fs::exists(temp.Path() / L"dest"));
}

// The worker's own handlers must not need memory: a failure there would end the process.
TEST(Unzipper, WhereverMemoryRunsOutTheWorkerEndsWithAFailure) {
    for (long allowed = 0;; ++allowed) {
        TempFolder temp;
        CUnzipper unzipper;
        unzipper.SetArchivePath(FixturePath(L"good-basic.zip"));
        unzipper.SetDestinationFolder(temp / L"dest");
        bool outOfMemory = false;
        {
            const CAllocationLimit limit(allowed);
            unzipper.Start();
            while (unzipper.IsBusy()) {
                Sleep(1);
            }
            outOfMemory = limit.WasReached();
        }
        ASSERT_EQ(unzipper.HasFailed(), outOfMemory) << allowed << " allocations allowed";
        if (!outOfMemory) {
            break;
        }
    }
}

// A finished extraction one of whose files another handle holds without sharing.
class UnzipperWithAHeldFile : public testing::Test {
protected:
    void UnpackAndHold(CUnzipper& unzipper) {
        UnpackToEnd(unzipper, FixturePath(L"good-basic.zip"), m_temp / L"dest");
        ASSERT_EQ(unzipper.GetErrorText(), L"");
        m_lock.Reset(
            CreateFileW(m_held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(m_lock.IsValid());
    }

    // The removal stops at the held file, after the files recorded before it.
    void ExpectRemovalStoppedAtTheHeldFile() {
        EXPECT_TRUE(PathExists(m_held));
        EXPECT_FALSE(PathExists(m_temp / L"dest\\setup.exe"));
    }

    TempFolder m_temp;
    const std::wstring m_held = m_temp / L"dest\\readme.txt";
    CFileHandle m_lock;
};

TEST_F(UnzipperWithAHeldFile, DestructionReportsTheFileByItsPath) {
    try {
        CUnzipper unzipper;
        UnpackAndHold(unzipper);
    } catch (const CFileSystemItemException& e) {
        EXPECT_EQ(e.GetText(), L"Cannot remove the '" + m_held + L"' file.");
        ExpectRemovalStoppedAtTheHeldFile();
        return;
    }
    ADD_FAILURE() << "the held file was not reported";
}

TEST_F(UnzipperWithAHeldFile, DestructionWhileAnotherFailureUnwindsKeepsThatFailure) {
    try {
        CUnzipper unzipper;
        UnpackAndHold(unzipper);
        throw std::runtime_error("the failure under way");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "the failure under way");
    }
    ExpectRemovalStoppedAtTheHeldFile();
}
