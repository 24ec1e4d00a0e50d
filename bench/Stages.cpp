// Times the stages of one update with the updater's own code, so that a slow whole update can
// be traced to its stage: opening and counting the archive, copying it out, installing with its
// journal, the unpacker's clean-up of the extraction folder and finishing the journal, which
// deletes the backups. The unpacker is
// watched every millisecond instead of every 250, and nothing waits for a mutex or a browser.
// After each stage the process's working set and its peak so far tell what the stage holds.
// Usage: bench_stages <archive> <application directory>; prints one line per stage:
// "<stage> <seconds> <working set KiB> <peak working set KiB>".

#include "HelperSupport.h"
#include "app/UpdateSequence.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Stopwatch.h"
#include "install/FileSystemItem.h"
#include "install/InstallJournal.h"
#include "install/InstallTree.h"
#include "install/Recovery.h"
#include "unzip/ReleaseCheck.h"
#include "unzip/Unzipper.h"

#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace {

void Print(const char* stage, double seconds) {
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("%s %.4f %lu %lu\n", stage, seconds,
                static_cast<unsigned long>(memory.WorkingSetSize / 1024),
                static_cast<unsigned long>(memory.PeakWorkingSetSize / 1024));
}

void TimeStages(const std::wstring& archive, const std::wstring& applicationDirectory) {
    const std::wstring extractionFolder = MakeExtractionFolderName();
    const std::wstring journalPath = extractionFolder + L".journal";
    CTransientRetry retry;
    std::optional<CInstallJournal> journal =
        CInstallJournal::Start(journalPath, applicationDirectory, extractionFolder);
    // As the updater decides on the release: a patched update's check of the installed files
    // belongs to opening and counting.
    CReleaseCheck release(applicationDirectory, false);
    auto unzipper = std::make_unique<CUnzipper>();
    unzipper->SetArchivePath(archive);
    unzipper->SetDestinationFolder(extractionFolder);
    unzipper->SetReleaseCheck(&release);
    CStopwatch stopwatch;
    unzipper->Start();
    // The folder is made once the archive is open, its installer found and its entries counted.
    while (unzipper->IsBusy() && !PathExists(extractionFolder)) {
        Sleep(1);
    }
    Print("open_and_count", stopwatch.Lap());
    while (unzipper->IsBusy()) {
        Sleep(1);
    }
    Print("copy_out", stopwatch.Lap());
    if (unzipper->HasFailed()) {
        throw COrvException(unzipper->GetErrorText(), 0);
    }
    InstallTree(*unzipper->GetRootItem(), applicationDirectory, *journal, retry);
    Print("install", stopwatch.Lap());
    unzipper.reset();
    Print("unpacker_cleanup", stopwatch.Lap());
    journal->RecordStage(TJournalStage::RemovingBackups);
    journal.reset();
    if (!FinishJournal(journalPath, retry).finished) {
        throw COrvException(L"the journal could not be finished", 0);
    }
    Print("backup_removal", stopwatch.Lap());
}

} // namespace

int main() {
    const std::vector<std::wstring> arguments = GetArguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: bench_stages <archive> <application directory>\n");
        return 2;
    }
    try {
        TimeStages(arguments[0], arguments[1]);
    } catch (const COrvException& failure) {
        std::fprintf(stderr, "failed: %ls\n", failure.GetText().c_str());
        return 1;
    } catch (const CFileSystemItemException& failure) {
        std::fprintf(stderr, "failed: %ls\n", failure.GetText().c_str());
        return 1;
    }
    return 0;
}
