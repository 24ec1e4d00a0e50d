#pragma once

#include "common/TransientRetry.h"
#include "install/FileSystemItem.h"
#include "install/InstallJournal.h"

#include <cstddef>
#include <functional>
#include <string>

// Asked before each file is moved in, with the files moved in so far and the files of the whole
// update: true when the install must stop here, to be rolled back.
using InstallStopCheck = std::function<bool(std::size_t filesMoved, std::size_t filesTotal)>;

// Moves the files below source into destination, level by level, creating missing folders.
// Every file that is replaced is first renamed to "<name>.bak"; a .bak of earlier in its way is
// renamed aside, never deleted. Each step is recorded in the journal before it begins, so that
// FinishJournal can undo the walk, or complete it by deleting the backups. A file that another
// process holds for a moment is waited for. The first failure throws COrvException naming the
// operation and the path; what was done until then stays as it is for FinishJournal to undo.
// A stop that the check asks for is such a failure too.
void InstallTree(const CFileSystemItem& source, const std::wstring& destination,
                 CInstallJournal& journal, CTransientRetry& retry,
                 const InstallStopCheck& mustStop = InstallStopCheck());

// The name under which the old content of a replaced file waits until the update is complete.
std::wstring GetBackupPath(const std::wstring& target);
