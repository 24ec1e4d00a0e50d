#pragma once

#include "common/TransientRetry.h"
#include "install/FileSystemItem.h"
#include "install/InstallJournal.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Asked before each file is moved in, with the files moved in so far and the files of the whole
// update: true when the install must stop here, to be rolled back.
using InstallStopCheck = std::function<bool(std::size_t filesMoved, std::size_t filesTotal)>;

// Moves the files below source into destination, creating missing folders, and removes the
// files of the installed version that the update drops (removals: paths relative to the
// destination; one that is not there, or is a folder, is left alone). Every file that is
// replaced is first renamed to "<name>.bak"; a .bak of earlier in its way, and every file that
// is removed, is renamed aside under a unique name, never deleted: FinishJournal deletes them
// once the update is complete. The whole plan of these steps is made from one listing of each
// folder, written to the journal and flushed with the stage installing before the first of
// them, so that FinishJournal can undo the walk, or complete it, from the plan and the disk
// alone. When it returns, every step has reached the disk. A file that another process holds
// for a moment is waited for. The first failure throws COrvException naming the operation and
// the path; what was done until then stays as it is for FinishJournal to undo. A stop that the
// check asks for is such a failure too.
void InstallTree(const CFileSystemItem& source, const std::wstring& destination,
                 CInstallJournal& journal, CTransientRetry& retry,
                 const std::vector<std::wstring>& removals = std::vector<std::wstring>(),
                 const InstallStopCheck& mustStop = InstallStopCheck());

// The name under which the old content of a replaced file waits until the update is complete.
std::wstring GetBackupPath(const std::wstring& target);
