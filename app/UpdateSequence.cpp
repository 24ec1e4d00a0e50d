#include "app/UpdateSequence.h"

#include "app/CommandLine.h"
#include "app/ProcessHelpers.h"
#include "app/ResumeAtLogon.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Guid.h"
#include "common/Handle.h"
#include "common/PathHelpers.h"
#include "install/InstallJournal.h"
#include "install/InstallTree.h"
#include "install/Recovery.h"
#include "unzip/Unzipper.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>

namespace {

// How a run that got past the mutex wait ends.
enum class TRunEnd { Completed, Failed, Abandoned };

// A directory of one character is a drive-relative root or a bare separator, which takes the
// name as it is.
std::wstring AppendToDirectory(const std::wstring& directory, const std::wstring& name) {
    std::wstring path = directory;
    if (path.size() > 1 && path.back() != L'\\') {
        path += L'\\';
    }
    return path + name;
}

// The application holds its single-instance mutex while it runs. Once it is gone, the mutex is
// ours until just before the relaunch: an application started meanwhile takes itself for a
// second instance and quits, instead of loading a mix of old and new files.
COwnedMutex WaitForApplicationToQuit(const std::wstring& mutexName) {
    for (;;) {
        CObjectHandle mutex(CreateMutexW(nullptr, TRUE, mutexName.c_str()));
        const bool running = GetLastError() == ERROR_ALREADY_EXISTS;
        if (running) {
            mutex.Reset();
        }
        Sleep(300);
        if (!running) {
            return COwnedMutex(mutex.Release());
        }
    }
}

// An update may bring a new updater; the one that runs now comes from elsewhere.
void DeleteOldUpdater(const std::wstring& applicationDirectory) {
    const std::wstring path = AppendToDirectory(applicationDirectory, L"Updater.exe");
    if (PathExists(path)) {
        DeleteFileW(ToExtendedLengthPath(path).c_str());
    }
}

// The same for every run on one application directory, whatever the letter case of its path,
// and different between directories: it names the directory's journal and logon entry.
std::wstring MakeDirectoryKey(const std::wstring& applicationDirectory) {
    std::wstring folded = applicationDirectory;
    CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t ch : folded) {
        hash = (hash ^ static_cast<std::uint16_t>(ch)) * 1099511628211ull;
    }
    wchar_t digits[17] = {};
    std::swprintf(digits, std::size(digits), L"%016llX", static_cast<unsigned long long>(hash));
    return L"Orvandel Updater " + std::wstring(digits);
}

// A worker that ended with an error text may have unpacked only part of the update, which
// must not be installed.
void UnpackArchive(CUnzipper& unzipper, const std::wstring& archivePath,
                   const std::wstring& extractionFolder) {
    unzipper.SetArchivePath(archivePath);
    unzipper.SetDestinationFolder(extractionFolder);
    unzipper.Start();
    while (unzipper.IsBusy()) {
        Sleep(250);
    }
    if (unzipper.HasFailed()) {
        throw COrvException(unzipper.GetErrorText(), 0);
    }
}

// The browser keeps the add-on loaded, so its files cannot be replaced while it runs.
bool CarriesBrowserAddOn(const std::wstring& extractionFolder) {
    return PathExists(extractionFolder + L"\\ravaz2.dll") ||
           PathExists(extractionFolder + L"\\zoduvid.dll");
}

// False when the user gives up waiting.
bool WaitForBrowserToClose() {
    while (FindProcessByName(L"iexplore.exe", PROCESS_QUERY_INFORMATION).IsValid()) {
        if (MessageBoxW(nullptr, L"Update will take effect after you close Internet Exploer",
                        L"Orvandel", MB_YESNO) != IDYES) {
            return false;
        }
    }
    return true;
}

// Unpacks and installs with every step in the journal. False when the user abandoned the
// update. The unpacker removes what is left of the extraction folder before the update is
// declared complete, so that nothing can fail after that.
bool UnpackAndInstall(const TCommandLine& fields, const std::wstring& applicationDirectory,
                      CInstallJournal& journal, const std::wstring& extractionFolder,
                      CTransientRetry& retry) {
    CUnzipper unzipper;
    UnpackArchive(unzipper, fields.archivePath, extractionFolder);
    if (CarriesBrowserAddOn(extractionFolder) && !WaitForBrowserToClose()) {
        return false;
    }
    journal.RecordStage(TJournalStage::Installing);
    InstallTree(*unzipper.GetRootItem(), applicationDirectory, journal, retry);
    return true;
}

// Every step that a failure rolls back. The journal decides every end: the update is complete
// once the journal says so, and finishing the journal deletes the backups, or else undoes the
// install.
TRunEnd ApplyUpdate(const TCommandLine& fields, const std::wstring& applicationDirectory,
                    const std::wstring& journalPath, CTransientRetry& retry) {
    try {
        const std::wstring extractionFolder = MakeExtractionFolderName();
        bool installed = false;
        {
            CInstallJournal journal =
                CInstallJournal::Start(journalPath, applicationDirectory, extractionFolder);
            installed =
                UnpackAndInstall(fields, applicationDirectory, journal, extractionFolder, retry);
            if (installed) {
                journal.RecordStage(TJournalStage::RemovingBackups);
            }
        }
        FinishJournal(journalPath, retry);
        return installed ? TRunEnd::Completed : TRunEnd::Abandoned;
    } catch (...) {
        FinishJournal(journalPath, retry);
        return TRunEnd::Failed;
    }
}

// A run that died on this directory left its journal: its update is finished or undone before
// anything else happens. If that cannot be done, nothing else is done either.
TRunEnd UpdateDirectory(const TCommandLine& fields, const std::wstring& applicationDirectory,
                        const std::wstring& journalPath) {
    CTransientRetry retry;
    if (!FinishJournal(journalPath, retry).finished) {
        return TRunEnd::Failed;
    }
    return ApplyUpdate(fields, applicationDirectory, journalPath, retry);
}

// Everything between the mutex wait and the report. Only the steps before the journal's can
// fail here (no memory, no temporary directory), and nothing has changed then.
TRunEnd UpdateApplication(const TCommandLine& fields, std::wstring_view commandLine) noexcept {
    try {
        std::wstring applicationDirectory;
        GetDirectoryPart(fields.applicationPath, applicationDirectory);
        DeleteOldUpdater(applicationDirectory);
        const std::wstring key = MakeDirectoryKey(applicationDirectory);
        const CResumeAtLogon resume(key,
                                    L'"' + GetProgramPath() + L"\" " + std::wstring(commandLine));
        return UpdateDirectory(fields, applicationDirectory,
                               GetTempDirectory() + key + L".journal");
    } catch (...) {
        return TRunEnd::Failed;
    }
}

// Out of memory here must not keep the application from being started again.
void RelaunchApplication(const TCommandLine& fields, COwnedMutex& applicationMutex) noexcept {
    try {
        if (fields.deleteArchiveFlag == L"1") {
            DeleteFileW(ToExtendedLengthPath(fields.archivePath).c_str());
        }
    } catch (...) {
    }
    applicationMutex.Reset();
    try {
        LaunchProcess(fields.applicationPath);
    } catch (...) {
    }
}

} // namespace

std::wstring MakeExtractionFolderName() {
    const std::wstring temp = GetTempDirectory();
    std::wstring guid;
    CreateGuidString(guid);
    return AppendToDirectory(temp, guid);
}

int RunUpdate(std::wstring_view commandLine) noexcept {
    std::optional<TCommandLine> fields;
    try {
        fields = ParseCommandLine(commandLine);
    } catch (...) {
        // Fields that cannot even be held are not taken in: as if the line were malformed.
    }
    if (!fields) {
        return 0;
    }
    COwnedMutex applicationMutex = WaitForApplicationToQuit(fields->mutexName);
    const TRunEnd end = UpdateApplication(*fields, commandLine);
    if (end == TRunEnd::Abandoned) {
        return 0;
    }
    if (end == TRunEnd::Failed) {
        // The reason is not shown: the user can do nothing about it but try again later.
        MessageBoxW(nullptr, L"Failed to upgrade the current version of Orvandel!", L"Error",
                    MB_OK);
    }
    RelaunchApplication(*fields, applicationMutex);
    return 0;
}
