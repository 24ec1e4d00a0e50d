#include "install/InstallTree.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/TextHelpers.h"

#include <windows.h>

namespace {

const std::wstring BackupSuffix = L".bak";

[[noreturn]] void ThrowInstallError(const wchar_t* label, const std::wstring& path) {
    wchar_t message[260] = {};
    FormatString(message, L"%ls %ls", label, path.c_str());
    throw COrvException(message, 0);
}

// The name after the last separator; empty for a path without one, which names nothing the
// unpacker could have written.
std::wstring GetItemName(const CFileSystemItem& item) {
    const std::wstring& path = item.GetPath();
    const std::size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(separator + 1);
}

void InstallFolder(const CFileSystemItem& folder, const std::wstring& dest,
                   CFileSystemItem& backup) {
    const std::wstring name = GetItemName(folder);
    if (name.empty()) {
        return;
    }
    const std::wstring target = dest + name;
    if (!PathExists(target) && !CreateDirectoryW(ToExtendedLengthPath(target).c_str(), nullptr)) {
        ThrowInstallError(L"Can not create directory:", target);
    }
    InstallTree(folder, target, *backup.AddChild(dest, false));
}

void DeleteStaleBackup(const std::wstring& bak) {
    if (!DeleteFileW(ToExtendedLengthPath(bak).c_str())) {
        ThrowInstallError(L"Can not delete file:", bak);
    }
}

// The rename is tried first and tells whether the file, or a backup of an earlier run, exists.
void InstallFile(const CFileSystemItem& file, const std::wstring& dest, CFileSystemItem& backup) {
    const std::wstring name = GetItemName(file);
    if (name.empty()) {
        return;
    }
    const std::wstring target = dest + name;
    const std::wstring bak = target + BackupSuffix;
    DWORD error = MoveFileAndGetError(target, bak);
    // Only one generation of backups is kept: a leftover of an earlier run goes.
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        DeleteStaleBackup(bak);
        error = MoveFileAndGetError(target, bak);
    }
    if (error == ERROR_SUCCESS) {
        backup.AddChild(bak, true);
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        // A new file, whose name may still carry a backup of an earlier run.
        if (PathExists(bak)) {
            DeleteStaleBackup(bak);
        }
    } else {
        ThrowInstallError(L"Can not rename file:", target);
    }
    if (MoveFileAndGetError(file.GetPath(), target) != ERROR_SUCCESS) {
        ThrowInstallError(L"Can not move file:", target);
    }
}

void RestoreBackup(const std::wstring& bak) {
    if (bak.size() <= BackupSuffix.size() || !PathExists(bak)) {
        return;
    }
    const std::wstring original = bak.substr(0, bak.size() - BackupSuffix.size());
    MoveFileExW(ToExtendedLengthPath(bak).c_str(), ToExtendedLengthPath(original).c_str(),
                MOVEFILE_REPLACE_EXISTING);
}

void DeleteBackup(const std::wstring& bak) {
    const std::wstring path = ToExtendedLengthPath(bak);
    if (DeleteFileW(path.c_str())) {
        return;
    }
    const DWORD error = GetLastError();
    // The backup of a read-only file is read-only too; clearing that only where it is needed
    // saves a call per file on the common path.
    if (error == ERROR_ACCESS_DENIED) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

// Latest first, so that a backup of a backup (an update that carries both a.dll and a.dll.bak)
// is dealt with before the backup it was made from.
void ForEachBackupLatestFirst(const CFileSystemItem& item,
                              void (*action)(const std::wstring& bak)) noexcept {
    for (int i = item.GetChildCount() - 1; i >= 0; --i) {
        if (const CFileSystemItem* child = item.GetChild(i)) {
            ForEachBackupLatestFirst(*child, action);
        }
    }
    if (!item.IsFile()) {
        return;
    }
    try {
        action(item.GetPath());
    } catch (...) {
        // Out of memory for a path: the other backups are still worth the attempt.
    }
}

} // namespace

void InstallTree(const CFileSystemItem& source, const std::wstring& destination,
                 CFileSystemItem& backup) {
    std::wstring dest = destination;
    if (!dest.empty() && dest.back() != L'\\') {
        dest += L'\\';
    }
    for (int i = 0; i < source.GetChildCount(); ++i) {
        const CFileSystemItem* child = source.GetChild(i);
        if (child == nullptr) {
            continue;
        }
        if (child->IsFile()) {
            InstallFile(*child, dest, backup);
        } else {
            InstallFolder(*child, dest, backup);
        }
    }
}

void RollbackTree(const CFileSystemItem& backup) noexcept {
    ForEachBackupLatestFirst(backup, RestoreBackup);
}

void RemoveBackups(const CFileSystemItem& backup) noexcept {
    ForEachBackupLatestFirst(backup, DeleteBackup);
}
