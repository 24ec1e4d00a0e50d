#include "app/UpdateSequence.h"

#include "app/ApplicationMutex.h"
#include "app/CommandLine.h"
#include "app/ProcessHelpers.h"
#include "app/ResumeAtLogon.h"
#include "app/RunLog.h"
#include "app/SessionEndBlock.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Guid.h"
#include "common/Handle.h"
#include "common/PathHelpers.h"
#include "common/Stopwatch.h"
#include "common/SystemErrors.h"
#include "common/TransientRetry.h"
#include "core/CaseFolding.h"
#include "install/FileSystemItem.h"
#include "install/InstallJournal.h"
#include "install/InstallTree.h"
#include "install/Recovery.h"
#include "unzip/ReleaseCheck.h"
#include "unzip/Unzipper.h"
#include "unzip/UpdateKeys.h"

#include "Version.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <exception>
#include <iterator>
#include <new>
#include <optional>

namespace {

// How a run that got past the mutex wait ends.
enum class TRunEnd { Completed, NotAnUpdate, Failed, Abandoned };

const wchar_t* NameOf(TRunEnd end) {
    switch (end) {
    case TRunEnd::Completed:
        return L"completed";
    case TRunEnd::NotAnUpdate:
        return L"not an update";
    case TRunEnd::Failed:
        return L"failed";
    case TRunEnd::Abandoned:
        break;
    }
    return L"abandoned";
}

std::wstring Seconds(double seconds) {
    wchar_t text[32] = {};
    std::swprintf(text, std::size(text), L"%.2f s", seconds);
    return text;
}

// What the failure region caught, for the log.
std::wstring DescribeFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const COrvException& caught) {
        return caught.Describe();
    } catch (const CFileSystemItemException& caught) {
        return caught.GetText();
    } catch (const std::bad_alloc&) {
        return L"Out of memory";
    } catch (...) {
        return L"Unknown error";
    }
}

// An update may bring a new updater; the one that runs now comes from elsewhere.
void DeleteOldUpdater(const std::wstring& applicationDirectory) {
    const std::wstring path = JoinPath(applicationDirectory, L"Updater.exe");
    if (PathExists(path)) {
        DeleteFileW(ToExtendedLengthPath(path).c_str());
    }
}

// The same for every run on one application directory, whatever the letter case of its path,
// and different between directories: it names the directory's journal and logon entry.
std::wstring MakeDirectoryKey(const std::wstring& applicationDirectory) {
    const std::wstring folded = FoldCase(applicationDirectory);
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t ch : folded) {
        hash = (hash ^ static_cast<std::uint16_t>(ch)) * 1099511628211ull;
    }
    wchar_t digits[17] = {};
    std::swprintf(digits, std::size(digits), L"%016llX", static_cast<unsigned long long>(hash));
    return L"Orvandel Updater " + std::wstring(digits);
}

// The browser keeps the add-on loaded, so its files cannot be replaced while it runs.
bool CarriesBrowserAddOn(const std::wstring& extractionFolder) {
    return PathExists(JoinPath(extractionFolder, L"ravaz2.dll")) ||
           PathExists(JoinPath(extractionFolder, L"zoduvid.dll"));
}

// Everything between the mutex wait and the report, with its account in the log.
class CUpdateRun {
public:
    CUpdateRun(const TCommandLine& fields, CRunLog& log) : m_fields(fields), m_log(log) {
        GetDirectoryPart(fields.applicationPath, m_applicationDirectory);
        // The logon entry may give the directory in its short form: the same directory must
        // find the same journal and trust the same paths.
        m_applicationDirectory = GetLongPathForm(m_applicationDirectory);
    }

    TRunEnd Run() {
        DeleteOldUpdater(m_applicationDirectory);
        const std::wstring key = MakeDirectoryKey(m_applicationDirectory);
        const CResumeAtLogon resume(key, BuildLogonCommand(GetProgramPath(), m_fields));
        m_log.WriteComposed(
            [&] { return L"entry to resume at the next logon: " + resume.Describe(); });
        m_journalPath = JoinPath(GetTempDirectory(), key + L".journal");
        // A run that died on this directory left its journal: its update is finished or undone
        // before anything else happens. If that cannot be done, nothing else is done either.
        if (!FinishAndLogJournal(L"journal of a run that ended early")) {
            m_log.Write(L"nothing else is done while that journal stays");
            return TRunEnd::Failed;
        }
        const TRunEnd end = ApplyUpdate();
        if (const DWORD waited = m_retry.GetWaitedMilliseconds(); waited != 0) {
            m_log.WriteComposed([waited] {
                return L"waited for files that other programs held: " + Seconds(waited / 1000.0);
            });
        }
        return end;
    }

private:
    // The journal decides every end: the update is complete once the journal says so, and
    // finishing the journal deletes the backups, or else undoes the install.
    TRunEnd ApplyUpdate() {
        try {
            const std::wstring extractionFolder = MakeExtractionFolderName();
            TRunEnd end = TRunEnd::Completed;
            {
                CInstallJournal journal =
                    CInstallJournal::Start(m_journalPath, m_applicationDirectory, extractionFolder);
                end = UnpackAndInstall(journal, extractionFolder);
                if (end == TRunEnd::Completed) {
                    journal.RecordStage(TJournalStage::RemovingBackups);
                }
            }
            FinishAndLogJournal(L"journal");
            EndSessionBlock();
            return end;
        } catch (...) {
            m_log.WriteComposed(
                [] { return L"failure: " + DescribeFailure(std::current_exception()); });
            FinishAndLogJournal(L"journal");
            EndSessionBlock();
            return TRunEnd::Failed;
        }
    }

    // The unpacker removes what is left of the extraction folder before the update is declared
    // complete, so that nothing can fail after that.
    TRunEnd UnpackAndInstall(CInstallJournal& journal, const std::wstring& extractionFolder) {
        // Read after any dead run's journal is finished, so that it describes what is there.
        CReleaseCheck release(m_applicationDirectory, !GetUpdateKeys().empty());
        CUnzipper unzipper;
        unzipper.SetReleaseCheck(&release);
        if (!Unpack(unzipper, extractionFolder)) {
            return TRunEnd::NotAnUpdate;
        }
        if (const std::wstring described = release.Describe(); !described.empty()) {
            m_log.Write(described);
        }
        if (CarriesBrowserAddOn(extractionFolder) && !WaitForBrowserToClose()) {
            return TRunEnd::Abandoned;
        }
        m_sessionEnd.emplace();
        CStopwatch stopwatch;
        InstallTree(*unzipper.GetRootItem(), m_applicationDirectory, journal, m_retry,
                    release.GetRemovals(), [this](std::size_t filesMoved, std::size_t filesTotal) {
                        return StopsForSessionEnd(filesMoved, filesTotal);
                    });
        m_log.WriteComposed([&] { return L"installed in " + Seconds(stopwatch.Lap()); });
        return TRunEnd::Completed;
    }

    // False when the archive carries no installer. A worker that ended with an error text may
    // have unpacked only part of the update, which must not be installed.
    bool Unpack(CUnzipper& unzipper, const std::wstring& extractionFolder) {
        CStopwatch stopwatch;
        const std::span<const TUpdateKey> keys = GetUpdateKeys();
        m_log.Write(keys.empty()
                        ? L"no update keys are built in: the archive's signature is not checked"
                        : L"the archive must carry a valid signature by a built-in key");
        unzipper.SetAcceptedKeys(keys);
        unzipper.SetArchivePath(m_fields.archivePath);
        unzipper.SetDestinationFolder(extractionFolder);
        unzipper.SetApplicationFolder(m_applicationDirectory);
        unzipper.Start();
        while (unzipper.IsBusy()) {
            unzipper.WaitWhileBusy(250);
        }
        if (unzipper.HasFailed()) {
            throw COrvException(unzipper.GetErrorText(), 0, unzipper.GetErrorCause());
        }
        if (unzipper.GetRootItem()->GetPath().empty()) {
            m_log.Write(L"no .exe or .msi at the top of the archive");
            return false;
        }
        m_log.WriteComposed([&] {
            const TUnpackingUpdateRequest done = unzipper.GetLatestProgress();
            return L"unpacked " + std::to_wstring(done.filesDone) + L" files, " +
                   std::to_wstring(done.bytesDone) + L" bytes to " + extractionFolder + L" in " +
                   Seconds(stopwatch.Lap());
        });
        return true;
    }

    // False when the user gives up waiting.
    bool WaitForBrowserToClose() {
        while (FindProcessByName(L"iexplore.exe", PROCESS_QUERY_INFORMATION).IsValid()) {
            const bool yes =
                MessageBoxW(nullptr, L"Update will take effect after you close Internet Exploer",
                            L"Orvandel", MB_YESNO) == IDYES;
            m_log.Write(yes ? L"asked to close the browser: Yes"
                            : L"asked to close the browser: No");
            if (!yes) {
                return false;
            }
        }
        m_log.Write(L"the update carries the browser add-on; the browser does not run");
        return true;
    }

    // A session that ends before half of the files are in is rolled back; otherwise the install
    // goes on to its end. Either way the session waits until the journal is finished.
    bool StopsForSessionEnd(std::size_t filesMoved, std::size_t filesTotal) {
        if (!m_sessionEnd->IsSessionEnding()) {
            return false;
        }
        const bool rollBack = m_sessionEnd->MustRollBack(filesMoved, filesTotal);
        if (!m_sessionEndLogged) {
            m_sessionEndLogged = true;
            m_log.WriteComposed([&] {
                return L"the session ends, announced with " + std::to_wstring(filesMoved) +
                       L" of " + std::to_wstring(filesTotal) + L" files moved in: " +
                       (rollBack ? L"the install is rolled back" : L"the install goes on");
            });
        }
        return rollBack;
    }

    // Written before the session may end, which may end the process too.
    void EndSessionBlock() noexcept {
        if (!m_sessionEnd) {
            return;
        }
        if (m_sessionEnd->IsSessionEnding()) {
            m_log.WriteComposed([&] {
                std::wstring text = L"the session end waited until the journal was finished";
                if (const DWORD error = m_sessionEnd->GetReasonError(); error != ERROR_SUCCESS) {
                    text += L"; Windows took no reason for the wait: " + DescribeSystemError(error);
                }
                return text;
            });
        } else if (m_sessionEnd->GetWindow() == nullptr) {
            m_log.WriteComposed([&] {
                return L"no window to hold a session end back: " +
                       DescribeSystemError(m_sessionEnd->GetWindowError());
            });
        }
        m_sessionEnd.reset();
    }

    // False when the journal stays for the next run.
    bool FinishAndLogJournal(const wchar_t* what) noexcept {
        CStopwatch stopwatch;
        const TJournalOutcome outcome = FinishJournal(m_journalPath, m_retry);
        if (outcome.found) {
            m_log.WriteComposed([&] { return DescribeOutcome(what, outcome, stopwatch.Lap()); });
        }
        return outcome.finished;
    }

    static std::wstring DescribeOutcome(const wchar_t* what, const TJournalOutcome& outcome,
                                        double seconds) {
        const std::string_view stage = GetStageName(outcome.stage);
        std::wstring text = std::wstring(what) + L" at the stage \"" +
                            std::wstring(stage.begin(), stage.end()) + L"\" finished in " +
                            Seconds(seconds) + L": " + std::to_wstring(outcome.restored) +
                            L" files restored, " + std::to_wstring(outcome.removed) +
                            L" added files and folders removed, " +
                            std::to_wstring(outcome.backupsDeleted) + L" backups deleted";
        if (outcome.movedIn != 0) {
            text += L", " + std::to_wstring(outcome.movedIn) + L" files moved in";
        }
        if (outcome.dropped != 0) {
            text += L", " + std::to_wstring(outcome.dropped) +
                    L" files and folders that the update drops removed";
        }
        if (!outcome.finished) {
            text += L"; kept for the next run, as " + outcome.failedPath + L" stays: " +
                    DescribeSystemError(outcome.failure);
        }
        return text;
    }

    const TCommandLine& m_fields;
    CRunLog& m_log;
    std::wstring m_applicationDirectory;
    std::wstring m_journalPath;
    CTransientRetry m_retry;
    std::optional<CSessionEndBlock> m_sessionEnd;
    bool m_sessionEndLogged = false;
};

// Only the steps before the journal's can fail here (no memory, no temporary directory), and
// nothing has changed then.
TRunEnd UpdateApplication(const TCommandLine& fields, CRunLog& log) noexcept {
    try {
        return CUpdateRun(fields, log).Run();
    } catch (...) {
        log.WriteComposed([] { return L"failure: " + DescribeFailure(std::current_exception()); });
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
        // By the path the application gave, also where the logon entry had to shorten it.
        LaunchProcess(GetLongPathForm(fields.applicationPath));
    } catch (...) {
    }
}

} // namespace

std::wstring MakeExtractionFolderName() {
    const std::wstring temp = GetTempDirectory();
    std::wstring guid;
    CreateGuidString(guid);
    return JoinPath(temp, guid);
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
    CRunLog log(CRunLog::GetDefaultPath());
    log.WriteComposed([&] {
        return L"Orvandel Updater " UPDATER_VERSION_TEXT_WIDE L" started: " +
               FormatCommandLine(*fields);
    });
    CStopwatch stopwatch;
    COwnedMutex applicationMutex = WaitForApplicationToQuit(fields->mutexName);
    log.WriteComposed(
        [&] { return L"waited for the application to quit: " + Seconds(stopwatch.Lap()); });
    const TRunEnd end = UpdateApplication(*fields, log);
    log.WriteComposed([&] { return std::wstring(L"end: ") + NameOf(end); });
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
