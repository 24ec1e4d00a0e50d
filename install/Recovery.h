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
    int movedIn = 0;        // files of a complete update that were not in place yet
    int backupsDeleted = 0; // backups and set-aside .bak files deleted after a complete update
    int dropped = 0; // files the complete update removes, and folders they leave empty, deleted
    bool finished = true;          // false: something could not be done, and the journal stays
    DWORD failure = ERROR_SUCCESS; // the first thing that could not be done, and where
    std::wstring failedPath;
};

// Brings the application directory of a journal's run to exactly one version and clears up
// after that run. Each step of the journal's plan is decided from what is on the disk, since a
// power cut may have kept some renames and lost others' traces. A run that had not declared its
// update complete is rolled back, newest step first: where a planned backup was made it goes
// back over its target, every file and folder the plan added is removed, and every .bak of
// earlier that it set aside gets its name back; a .bak that the plan did not make is never
// touched; every file it set aside to remove gets its name back. A complete one is rolled
// forward, every planned file not in place yet moved in from the extraction folder and every file
// it removes set aside, and only then loses its backups, the .bak files it set aside and the
// files it removes, and then the folders that these removals leave empty, deepest first, never
// the application directory itself. Then
// the extraction folder goes, and the journal last. What cannot be done is passed over and
// reported, and the journal then stays, so that the next run tries again; everything is safe to
// do again, from any point. A file that another process holds for a moment is waited for.
// Nothing outside the journal's application directory and its extraction folder is ever
// touched. Without a journal, nothing happens.
TJournalOutcome FinishJournal(const std::wstring& journalPath, CTransientRetry& retry) noexcept;
