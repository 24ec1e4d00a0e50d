#pragma once

#include "common/TransientRetry.h"
#include "install/InstallJournal.h"

#include <windows.h>

#include <string>

// What finishing a journal did, for the run's log.
struct TJournalOutcome {
    bool found = false;                             // there was a journal to finish
    TJournalStage stage = TJournalStage::Unpacking; // where its run had got to
    int restored = 0;       // files given their old content back, .bak files of earlier put back
    int removed = 0;        // files and folders of the update taken away again
    int backupsDeleted = 0; // backups and set-aside .bak files deleted after a complete update
    bool finished = true;   // false: something could not be done, and the journal stays
    DWORD failure = ERROR_SUCCESS; // the first thing that could not be done, and where
    std::wstring failedPath;
};

// Brings the application directory of a journal's run to exactly one version and clears up
// after that run. A run that had not declared its update complete is rolled back: every backup
// goes back over its target and every file and folder it added is removed, newest first, then
// every .bak of earlier that it had set aside gets its name back. A complete one loses its
// backups and the .bak files it set aside. Then the extraction folder goes, and the journal
// last. What cannot be done is passed over and reported, and the journal then stays, so that
// the next run tries again; everything is safe to do twice. A file that another process holds
// for a moment is waited for. Nothing outside the journal's application directory and its
// extraction folder is ever touched. Without a journal, nothing happens.
TJournalOutcome FinishJournal(const std::wstring& journalPath, CTransientRetry& retry) noexcept;
