#pragma once

#include "install/FileSystemItem.h"

#include <string>

// Moves the files below source into destination, level by level, creating missing folders.
// Every file that is replaced is first renamed to "<name>.bak" and recorded below backup, so
// that RollbackTree can undo the walk and RemoveBackups can delete the backups.
// The first failure throws COrvException naming the operation and the path; what was moved
// until then stays where it is.
void InstallTree(const CFileSystemItem& source, const std::wstring& destination,
                 CFileSystemItem& backup);

// Puts every recorded backup back under its old name, replacing whatever the install moved
// there, so each replaced file holds its old content again. Files the install added stay.
void RollbackTree(const CFileSystemItem& backup) noexcept;

// Deletes every recorded backup once the whole update is in place. From then on the update is
// complete, so a backup that cannot be deleted (a DLL that another process still has loaded)
// stays behind rather than stopping the others: restoring what is left would make the
// directory half old and half new.
void RemoveBackups(const CFileSystemItem& backup) noexcept;
