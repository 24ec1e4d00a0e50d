#include "install/InstallTree.h"

#include "common/BackgroundQueue.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Guid.h"
#include "common/PathHelpers.h"
#include "core/CaseFolding.h"
#include "core/NameScreen.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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

// The entries of one folder by their folded names, true for a folder, as they will be once
// the steps planned so far have happened. Under Wine every lookup of a name that is not there
// scans the whole folder; one listing per folder costs as much as one such lookup.
using TFolderNames = std::unordered_map<std::wstring, bool>;

TFolderNames ListFolder(const std::wstring& folder) {
    TFolderNames names;
    WIN32_FIND_DATAW found{};
    const std::wstring pattern = ToExtendedLengthPath(JoinPath(folder, L"*"));
    const CFindHandle search(FindFirstFileW(pattern.c_str(), &found));
    if (!search.IsValid()) {
        const DWORD error = GetLastError();
        // A folder that is not there holds nothing; one that cannot be read cannot be planned
        // for: a step that expects a free name could otherwise undo somebody's file.
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            ThrowInstallError(L"Can not read directory:", folder);
        }
        return names;
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.emplace(FoldCase(found.cFileName),
                          (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
        }
    } while (FindNextFileW(search.Get(), &found));
    return names;
}

struct TPlannedStep {
    TJournalStep step;
    std::size_t folder;          // the destination folder, in CInstallWalk::m_folders
    const CFileSystemItem* item; // the update's file or folder the step is for; none for Remove
    std::size_t aside;           // Aside and Remove: the unique name, in CInstallWalk::m_asides
    std::size_t removed = 0;     // Remove: the file, in CInstallWalk::m_removed
};

// One install: the plan, then its steps, with the patience for files that others hold for a
// moment, and the access rights of the files moved in, which are set beside the moves (as
// costly as a move each under Wine) and all set before the install returns. The plan keeps
// positions rather than paths, which an update of many files would pay for in memory.
class CInstallWalk {
public:
    CInstallWalk(CInstallJournal& journal, CTransientRetry& retry, const InstallStopCheck& mustStop)
        : m_journal(journal), m_retry(retry), m_mustStop(mustStop),
          m_access([](std::wstring& path) { InheritFolderAccess(path); }) {}

    void Plan(const CFileSystemItem& source, const std::wstring& destination,
              const std::vector<std::wstring>& removals) {
        m_folders.push_back(destination);
        PlanChildren(source, 0, ListFolder(destination));
        PlanRemovals(destination, removals);
        m_journal.RecordStage(TJournalStage::Installing);
    }

    void CarryOut() {
        m_otherAccess.assign(m_folders.size(), std::nullopt);
        std::size_t filesMoved = 0;
        const CFileSystemItem* asked = nullptr;
        for (const TPlannedStep& step : m_steps) {
            // Asked once per file, before the first of its steps, so that a stop never leaves a
            // file only set aside or backed up.
            if (m_mustStop && step.item != nullptr && step.item->IsFile() && step.item != asked) {
                asked = step.item;
                if (m_mustStop(filesMoved, m_filesPlanned)) {
                    throw COrvException(L"The session ends before the update is installed", 0);
                }
            }
            CarryOut(step);
            if (MovesIn(step)) {
                ++filesMoved;
            }
        }
        m_access.Finish();
        // The commit that follows must not reach the disk before the renames it declares done.
        // A file system that cannot flush a folder keeps its metadata in order by itself.
        for (const std::wstring& folder : m_folders) {
            FlushFolderAndGetError(folder);
        }
    }

private:
    static bool MovesIn(const TPlannedStep& step) {
        return step.step == TJournalStep::Replace || step.step == TJournalStep::Add;
    }

    void AddStep(TJournalStep step, std::size_t folder, const CFileSystemItem& item,
                 const std::wstring& target, const std::wstring& second = std::wstring(),
                 std::size_t aside = 0) {
        m_journal.RecordStep(step, target, second);
        m_steps.push_back({step, folder, &item, aside});
        if (MovesIn(m_steps.back())) {
            ++m_filesPlanned;
        }
    }

    void PlanChildren(const CFileSystemItem& source, std::size_t folder, TFolderNames names) {
        for (int i = 0; i < source.GetChildCount(); ++i) {
            const CFileSystemItem* child = source.GetChild(i);
            if (child == nullptr) {
                continue;
            }
            const std::wstring name = GetItemName(*child);
            if (name.empty()) {
                continue;
            }
            if (child->IsFile()) {
                PlanFile(*child, folder, name, names);
            } else {
                PlanFolder(*child, folder, name, names);
            }
        }
    }

    void PlanFolder(const CFileSystemItem& item, std::size_t folder, const std::wstring& name,
                    TFolderNames& names) {
        const std::wstring target = JoinPath(m_folders[folder], name);
        const auto [entry, isNew] = names.emplace(FoldCase(name), true);
        if (!entry->second) {
            // A file of the application where the update has a folder stays the application's.
            ThrowInstallError(L"Can not create directory:", target);
        }
        if (isNew) {
            AddStep(TJournalStep::Folder, folder, item, target);
        }
        m_folders.push_back(target);
        PlanChildren(item, m_folders.size() - 1, isNew ? TFolderNames() : ListFolder(target));
    }

    void PlanFile(const CFileSystemItem& item, std::size_t folder, const std::wstring& name,
                  TFolderNames& names) {
        const std::wstring target = JoinPath(m_folders[folder], name);
        const std::wstring folded = FoldCase(name);
        const auto existing = names.find(folded);
        const bool replaces = existing != names.end();
        if (replaces && existing->second) {
            // A folder of the application where the update has a file stays the application's.
            ThrowInstallError(L"Can not rename file:", target);
        }
        // Nothing of the user's is deleted before the update is complete: a .bak of an earlier
        // run, or of the user's own, gets a name no other file has until then.
        const std::wstring bak = GetBackupPath(target);
        const std::wstring bakName = FoldCase(GetBackupPath(name));
        if (const auto stale = names.find(bakName); stale != names.end()) {
            if (stale->second) {
                ThrowInstallError(L"Can not delete file:", bak);
            }
            const std::wstring& aside = SetAside(bak);
            AddStep(TJournalStep::Aside, folder, item, bak, aside, m_asides.size() - 1);
            names.erase(stale);
        }
        if (replaces) {
            AddStep(TJournalStep::Backup, folder, item, target);
            names.emplace(bakName, false);
        } else {
            names.emplace(folded, false);
        }
        AddStep(replaces ? TJournalStep::Replace : TJournalStep::Add, folder, item, target,
                item.GetPath());
    }

    // The files of the installed version that the update no longer has, and then, deepest first,
    // the folders that held them, to go after the commit if that leaves them empty: not the
    // destination, and not a folder of the update, which the update may bring empty.
    void PlanRemovals(const std::wstring& destination, const std::vector<std::wstring>& removals) {
        std::unordered_set<std::wstring> updateFolders;
        for (const std::wstring& folder : m_folders) {
            updateFolders.insert(FoldCase(folder));
        }
        // Each removal's folder is flushed with the others before the commit.
        std::unordered_set<std::wstring> flushed = updateFolders;
        std::vector<std::pair<std::size_t, std::wstring>> emptied; // by their depth
        for (const std::wstring& removal : removals) {
            const std::wstring target = JoinPath(destination, removal);
            if (!PlanRemoval(target)) {
                continue;
            }
            if (const std::wstring folder = target.substr(0, target.rfind(L'\\'));
                flushed.insert(FoldCase(folder)).second) {
                m_folders.push_back(folder);
            }
            for (std::wstring relative = removal; relative.find(L'\\') != std::wstring::npos;) {
                relative.resize(relative.rfind(L'\\'));
                const std::wstring folder = JoinPath(destination, relative);
                if (!updateFolders.contains(FoldCase(folder))) {
                    emptied.emplace_back(std::count(folder.begin(), folder.end(), L'\\'), folder);
                }
            }
        }
        std::sort(emptied.begin(), emptied.end(), std::greater<>());
        emptied.erase(std::unique(emptied.begin(), emptied.end()), emptied.end());
        for (const auto& [depth, folder] : emptied) {
            m_journal.RecordStep(TJournalStep::Prune, folder);
        }
    }

    // False for a file that the user made a folder of, which is the user's, or one that is gone.
    bool PlanRemoval(const std::wstring& target) {
        const DWORD attributes = GetPathAttributes(target);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return false;
        }
        m_removed.push_back(target);
        m_journal.RecordStep(TJournalStep::Remove, target, SetAside(target));
        m_steps.push_back(
            {TJournalStep::Remove, 0, nullptr, m_asides.size() - 1, m_removed.size() - 1});
        return true;
    }

    // A name that no other file has until the update is complete, beside the file's own.
    const std::wstring& SetAside(const std::wstring& path) {
        std::wstring guid;
        CreateGuidString(guid);
        return m_asides.emplace_back(path + L'.' + guid);
    }

    std::wstring GetTarget(const TPlannedStep& step) const {
        return step.item == nullptr ? m_removed[step.removed]
                                    : JoinPath(m_folders[step.folder], GetItemName(*step.item));
    }

    void CarryOut(const TPlannedStep& step) {
        const std::wstring target = GetTarget(step);
        switch (step.step) {
        case TJournalStep::Folder:
            if (CreateFolderAndGetError(target) != ERROR_SUCCESS) {
                ThrowInstallError(L"Can not create directory:", target);
            }
            break;
        case TJournalStep::Aside:
            if (m_retry.Run([&] {
                    return MoveFileAndGetError(GetBackupPath(target), m_asides[step.aside]);
                }) != ERROR_SUCCESS) {
                ThrowInstallError(L"Can not delete file:", GetBackupPath(target));
            }
            break;
        case TJournalStep::Backup:
            if (m_retry.Run([&] { return MoveFileAndGetError(target, GetBackupPath(target)); }) !=
                ERROR_SUCCESS) {
                ThrowInstallError(L"Can not rename file:", target);
            }
            break;
        case TJournalStep::Remove:
            // A .bak of earlier that the plan set aside already is not there to remove.
            if (const DWORD error =
                    m_retry.Run([&] { return MoveFileAndGetError(target, m_asides[step.aside]); });
                error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
                ThrowInstallError(L"Can not remove file:", target);
            }
            break;
        case TJournalStep::Prune: // FinishJournal's, once the update is complete
            break;
        case TJournalStep::Replace:
        case TJournalStep::Add:
            if (m_retry.Run([&] {
                    return MoveFileInAndGetError(step.item->GetPath(), target, false);
                }) != ERROR_SUCCESS) {
                ThrowInstallError(L"Can not move file:", target);
            }
            if (TakesOtherAccess(step)) {
                m_access.Add(target);
            }
            break;
        }
    }

    // Setting a file's rights costs as much as a move under Wine, so it is done only where its
    // new folder passes on other rights than the one it was written in: under Wine, and for an
    // application in the user's own profile, they are the same. A folder of the plan is there
    // by the time of its first file.
    bool TakesOtherAccess(const TPlannedStep& step) {
        std::optional<bool>& other = m_otherAccess[step.folder];
        if (!other) {
            std::wstring written;
            GetDirectoryPart(step.item->GetPath(), written);
            other = !FoldersPassSameAccessToFiles(written, m_folders[step.folder]);
        }
        return *other;
    }

    CInstallJournal& m_journal;
    CTransientRetry& m_retry;
    const InstallStopCheck& m_mustStop;
    std::size_t m_filesPlanned = 0;
    std::vector<std::wstring> m_folders;
    std::vector<std::wstring> m_asides;
    std::vector<std::wstring> m_removed;
    std::vector<TPlannedStep> m_steps;
    std::vector<std::optional<bool>> m_otherAccess; // by folder, once its first file is in
    CBackgroundQueue<std::wstring> m_access;
};

} // namespace

void InstallTree(const CFileSystemItem& source, const std::wstring& destination,
                 CInstallJournal& journal, CTransientRetry& retry,
                 const std::vector<std::wstring>& removals, const InstallStopCheck& mustStop) {
    CInstallWalk walk(journal, retry, mustStop);
    walk.Plan(source, destination, removals);
    walk.CarryOut();
}

std::wstring GetBackupPath(const std::wstring& target) {
    return target + std::wstring(BackupSuffix.begin(), BackupSuffix.end());
}
