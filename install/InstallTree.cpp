#include "install/InstallTree.h"

#include "common/BackgroundQueue.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Guid.h"

#include <windows.h>

namespace {

[[noreturn]] void ThrowInstallError(const wchar_t* label, const std::wstring& path) {
    throw COrvException(std::wstring(label) + L' ' + path, 0);
}

// The name after the last separator; empty for a path without one, which names nothing the
// unpacker could have written.
std::wstring GetItemName(const CFileSystemItem& item) {
    const std::wstring& path = item.GetPath();
    const std::size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(separator + 1);
}

std::size_t CountFiles(const CFileSystemItem& folder) {
    std::size_t count = 0;
    for (int i = 0; i < folder.GetChildCount(); ++i) {
        if (const CFileSystemItem* child = folder.GetChild(i); child != nullptr) {
            count += child->IsFile() ? 1 : CountFiles(*child);
        }
    }
    return count;
}

bool IsFolder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// One install: its journal, the patience for files that others hold for a moment, and the
// access rights of the files moved in, which are set beside the moves (as costly as a move each
// under Wine) and all set before the install returns.
class CInstallWalk {
public:
    CInstallWalk(CInstallJournal& journal, CTransientRetry& retry, const InstallStopCheck& mustStop,
                 std::size_t filesTotal)
        : m_journal(journal), m_retry(retry), m_mustStop(mustStop), m_filesTotal(filesTotal),
          m_access([](std::wstring& path) { InheritFolderAccess(path); }) {}

    void InstallChildren(const CFileSystemItem& source, const std::wstring& destination) {
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
                InstallFile(*child, dest);
            } else {
                InstallFolder(*child, dest);
            }
        }
    }

private:
    DWORD Move(const std::wstring& from, const std::wstring& to) {
        return m_retry.Run([&] { return MoveFileAndGetError(from, to); });
    }

    void InstallFolder(const CFileSystemItem& folder, const std::wstring& dest) {
        const std::wstring name = GetItemName(folder);
        if (name.empty()) {
            return;
        }
        const std::wstring target = dest + name;
        const DWORD attributes = GetPathAttributes(target);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            m_journal.RecordStep(TJournalStep::Folder, target);
            if (!CreateDirectoryW(ToExtendedLengthPath(target).c_str(), nullptr)) {
                ThrowInstallError(L"Can not create directory:", target);
            }
        } else if (!IsFolder(attributes)) {
            // A file of the application where the update has a folder stays the application's.
            ThrowInstallError(L"Can not create directory:", target);
        }
        InstallChildren(folder, target);
    }

    // Nothing of the user's is deleted before the update is complete: a .bak of an earlier run,
    // or of the user's own, gets a name no other file has until then.
    void SetAsideIfThere(const std::wstring& bak) {
        const DWORD attributes = GetPathAttributes(bak);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return;
        }
        if (IsFolder(attributes)) {
            ThrowInstallError(L"Can not delete file:", bak);
        }
        std::wstring guid;
        CreateGuidString(guid);
        const std::wstring aside = bak + L'.' + guid;
        m_journal.RecordAside(bak, aside);
        if (Move(bak, aside) != ERROR_SUCCESS) {
            ThrowInstallError(L"Can not delete file:", bak);
        }
    }

    void BackUp(const std::wstring& target) {
        const std::wstring bak = GetBackupPath(target);
        m_journal.RecordStep(TJournalStep::Backup, target);
        DWORD error = Move(target, bak);
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
            SetAsideIfThere(bak);
            error = Move(target, bak);
        }
        if (error != ERROR_SUCCESS) {
            ThrowInstallError(L"Can not rename file:", target);
        }
    }

    void InstallFile(const CFileSystemItem& file, const std::wstring& dest) {
        const std::wstring name = GetItemName(file);
        if (name.empty()) {
            return;
        }
        if (m_mustStop && m_mustStop(m_filesMoved, m_filesTotal)) {
            throw COrvException(L"The session ends before the update is installed", 0);
        }
        const std::wstring target = dest + name;
        // Which of the journal's steps follow depends on what is there now; a folder of the
        // application where the update has a file stays the application's.
        const DWORD attributes = GetPathAttributes(target);
        if (IsFolder(attributes)) {
            ThrowInstallError(L"Can not rename file:", target);
        }
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            BackUp(target);
            m_journal.RecordStep(TJournalStep::Replace, target);
        } else {
            SetAsideIfThere(GetBackupPath(target));
            m_journal.RecordStep(TJournalStep::Add, target);
        }
        if (Move(file.GetPath(), target) != ERROR_SUCCESS) {
            ThrowInstallError(L"Can not move file:", target);
        }
        ++m_filesMoved;
        m_access.Add(target);
    }

    CInstallJournal& m_journal;
    CTransientRetry& m_retry;
    const InstallStopCheck& m_mustStop;
    const std::size_t m_filesTotal;
    std::size_t m_filesMoved = 0;
    CBackgroundQueue<std::wstring> m_access;
};

} // namespace

void InstallTree(const CFileSystemItem& source, const std::wstring& destination,
                 CInstallJournal& journal, CTransientRetry& retry,
                 const InstallStopCheck& mustStop) {
    CInstallWalk(journal, retry, mustStop, CountFiles(source)).InstallChildren(source, destination);
}

std::wstring GetBackupPath(const std::wstring& target) {
    return target + L".bak";
}
