#include "app/UpdateSequence.h"

#include "app/CommandLine.h"
#include "app/ProcessHelpers.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Guid.h"
#include "common/Handle.h"
#include "common/PathHelpers.h"
#include "install/FileSystemItem.h"
#include "install/InstallTree.h"
#include "unzip/Unzipper.h"

#include <windows.h>

namespace {

// A directory of one character is a drive-relative root or a bare separator, which takes the
// name as it is.
std::wstring AppendToDirectory(const std::wstring& directory, const std::wstring& name) {
    std::wstring path = directory;
    if (path.size() > 1 && path.back() != L'\\') {
        path += L'\\';
    }
    return path + name;
}

// The application holds its single-instance mutex while it runs; the mutex is gone once the
// application has closed its handle and we have closed ours.
bool IsApplicationRunning(const std::wstring& mutexName) {
    const CObjectHandle mutex(CreateMutexW(nullptr, TRUE, mutexName.c_str()));
    return GetLastError() == ERROR_ALREADY_EXISTS;
}

void WaitForApplicationToQuit(const std::wstring& mutexName) {
    bool running = false;
    do {
        running = IsApplicationRunning(mutexName);
        Sleep(300);
    } while (running);
}

// An update may bring a new updater; the one that runs now comes from elsewhere.
void DeleteOldUpdater(const std::wstring& applicationDirectory) {
    const std::wstring path = AppendToDirectory(applicationDirectory, L"Updater.exe");
    if (PathExists(path)) {
        DeleteFileW(ToExtendedLengthPath(path).c_str());
    }
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
    if (!unzipper.GetErrorText().empty()) {
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

// Every step whose failure is rolled back. False when the user abandoned the update; the
// unpacker removes the extraction folder on every way out.
bool ApplyUpdate(const TCommandLine& fields, CFileSystemItem& backupRoot) {
    const std::wstring extractionFolder = MakeExtractionFolderName();
    CUnzipper unzipper;
    UnpackArchive(unzipper, fields.archivePath, extractionFolder);
    if (CarriesBrowserAddOn(extractionFolder) && !WaitForBrowserToClose()) {
        return false;
    }
    std::wstring installTarget;
    GetDirectoryPart(fields.applicationPath, installTarget);
    backupRoot.Set(installTarget, false);
    InstallTree(*unzipper.GetRootItem(), installTarget, backupRoot);
    RemoveBackups(backupRoot);
    return true;
}

// The reason is not shown: the user can do nothing about it but try again later.
void ReportFailure(const CFileSystemItem& backupRoot) {
    RollbackTree(backupRoot);
    MessageBoxW(nullptr, L"Failed to upgrade the current version of Orvandel!", L"Error", MB_OK);
}

} // namespace

std::wstring MakeExtractionFolderName() {
    const std::wstring temp = GetTempDirectory();
    std::wstring guid;
    CreateGuidString(guid);
    return AppendToDirectory(temp, guid);
}

int RunUpdate(std::wstring_view commandLine) {
    const std::optional<TCommandLine> fields = ParseCommandLine(commandLine);
    if (!fields) {
        return 0;
    }
    WaitForApplicationToQuit(fields->mutexName);
    std::wstring applicationDirectory;
    GetDirectoryPart(fields->applicationPath, applicationDirectory);
    DeleteOldUpdater(applicationDirectory);

    CFileSystemItem backupRoot(L"", false);
    try {
        if (!ApplyUpdate(*fields, backupRoot)) {
            return 0;
        }
    } catch (...) {
        ReportFailure(backupRoot);
    }
    if (fields->deleteArchiveFlag == L"1") {
        DeleteFileW(ToExtendedLengthPath(fields->archivePath).c_str());
    }
    LaunchProcess(fields->applicationPath);
    return 0;
}
