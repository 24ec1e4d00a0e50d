#include "install/Recovery.h"

#include "common/FileHelpers.h"
#include "common/TextHelpers.h"
#include "core/NameScreen.h"
#include "install/InstallTree.h"

#include <cwctype>
#include <optional>
#include <string_view>
#include <vector>

namespace {

struct TJournalHeader {
    std::wstring application;
    std::wstring extraction;
    TJournalStage stage = TJournalStage::Unpacking;
};

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The first failure is the one reported.
void NoteFailure(TJournalOutcome& outcome, DWORD error, const std::wstring& path) {
    if (outcome.finished) {
        outcome.finished = false;
        outcome.failure = error;
        outcome.failedPath = path;
    }
}

// A journal is a file anybody with the user's rights can write; its steps are trusted only
// below its own application directory, and only through names an archive could have given.
bool LiesBelow(const std::wstring& path, const std::wstring& directory) {
    if (directory.empty() || !path.starts_with(directory)) {
        return false;
    }
    std::wstring_view rest = std::wstring_view(path).substr(directory.size());
    if (directory.back() != L'\\') {
        if (!rest.starts_with(L'\\')) {
            return false;
        }
        rest.remove_prefix(1);
    }
    for (;;) {
        const std::size_t separator = rest.find(L'\\');
        if (!IsSafeNameComponent(rest.substr(0, separator))) {
            return false;
        }
        if (separator == std::wstring_view::npos) {
            return true;
        }
        rest.remove_prefix(separator + 1);
    }
}

// The extraction folder is removed with everything in it, so it must be one that a run made:
// a brace-enclosed GUID.
bool IsExtractionFolder(const std::wstring& path) {
    const std::size_t separator = path.rfind(L'\\');
    if (separator == std::wstring::npos) {
        return false;
    }
    const std::wstring_view name = std::wstring_view(path).substr(separator + 1);
    constexpr std::wstring_view Shape = L"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (name.size() != Shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (Shape[i] == L'X' ? !std::iswxdigit(name[i]) : name[i] != Shape[i]) {
            return false;
        }
    }
    return true;
}

// One entry of a journal's plan: a folder it creates, a file it moves in with the backup and the
// set-aside .bak made for it, a file it removes, or a folder that its removals may leave empty.
// The texts point into the journal's text.
struct TPlannedEntry {
    enum class TKind {
        File,
        Folder,  // target is a folder that the plan creates
        Removal, // target is set aside under the name aside, deleted once complete
        Prune,   // target is a folder removed once complete, if the removals left it empty
    } kind = TKind::File;
    bool backedUp = false;   // a backup is planned
    bool movesIn = false;    // the move-in is planned: false only where an older journal was cut
    std::string_view target; // empty where an older journal was cut after the aside line
    std::string_view source; // empty in an older journal, which did not record it
    std::string_view bak;    // the .bak set aside, and the unique name it got
    std::string_view aside;
};

struct TJournal {
    TJournalHeader header;
    std::vector<TPlannedEntry> entries;
    bool planComplete = true;
};

// A journal of an earlier version has no plan: it recorded each step just before it began, so a
// file's steps may be cut short after any of them, and its backup line came before its aside.
TJournal ParseJournal(std::string_view text) {
    TJournal journal;
    std::size_t steps = 0;
    TPlannedEntry pending;
    const auto flush = [&] {
        if (!pending.target.empty() || !pending.aside.empty()) {
            journal.entries.push_back(pending);
        }
        pending = TPlannedEntry();
    };
    ForEachJournalLine(text, [&](const TJournalLine& line) {
        switch (line.kind) {
        case TJournalLine::TKind::Application:
            journal.header.application = FromUtf8(line.path);
            break;
        case TJournalLine::TKind::Extraction:
            journal.header.extraction = FromUtf8(line.path);
            break;
        case TJournalLine::TKind::Stage:
            journal.header.stage = line.stage;
            break;
        case TJournalLine::TKind::Plan:
            journal.planComplete = line.planned == steps;
            break;
        case TJournalLine::TKind::Step:
            ++steps;
            if (line.step == TJournalStep::Folder || line.step == TJournalStep::Remove ||
                line.step == TJournalStep::Prune) {
                flush();
                TPlannedEntry& entry = journal.entries.emplace_back();
                entry.kind = line.step == TJournalStep::Folder   ? TPlannedEntry::TKind::Folder
                             : line.step == TJournalStep::Remove ? TPlannedEntry::TKind::Removal
                                                                 : TPlannedEntry::TKind::Prune;
                entry.target = line.path;
                entry.aside = line.second;
            } else if (line.step == TJournalStep::Aside) {
                pending.bak = line.path;
                pending.aside = line.second;
            } else if (line.step == TJournalStep::Backup) {
                pending.target = line.path;
                pending.backedUp = true;
            } else {
                pending.target = line.path;
                pending.source = line.second;
                pending.movesIn = true;
                flush();
            }
            break;
        }
    });
    flush();
    return journal;
}

// One planned file's paths, where the journal may be trusted with them.
struct TFilePaths {
    std::wstring target;
    std::wstring bak;
    std::wstring source;
    std::wstring aside;
};

class CJournalFinisher {
public:
    CJournalFinisher(const TJournalHeader& header, TJournalOutcome& outcome, CTransientRetry& retry)
        : m_header(header), m_outcome(outcome), m_retry(retry) {}

    // Newest first. A step may or may not have happened before the run ended; each undo learns
    // from the disk, mostly by the outcome of its own call, whether there is anything to undo.
    void RollBack(const std::vector<TPlannedEntry>& entries) {
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            if (entry->kind == TPlannedEntry::TKind::Folder) {
                // A folder that is not empty holds what could not be removed, which is reported
                // already; a folder that is gone was never made.
                if (const std::optional<std::wstring> folder = Resolve(entry->target);
                    folder && RemoveFolderAndGetError(*folder) == ERROR_SUCCESS) {
                    ++m_outcome.removed;
                }
            } else if (entry->kind == TPlannedEntry::TKind::Removal) {
                if (const std::optional<TFilePaths> file = ResolveRemoval(*entry)) {
                    Count(Retried(MoveFileAndGetError, file->aside, file->target), file->target,
                          m_outcome.restored);
                }
            } else if (const std::optional<TFilePaths> file = Resolve(*entry)) {
                Undo(*entry, *file);
            }
        }
    }

    // The commit reached the disk only after every move had, so this finds work only where a
    // disk kept the commit and lost a move all the same.
    void RollForward(const std::vector<TPlannedEntry>& entries) {
        for (const TPlannedEntry& entry : entries) {
            if (const std::optional<TFilePaths> file = ResolveRemoval(entry)) {
                // Where the file is still there and not yet aside, its removal did not last.
                if (const DWORD error = Retried(MoveFileAndGetError, file->target, file->aside);
                    error != ERROR_SUCCESS && !IsMissing(error) && error != ERROR_ALREADY_EXISTS) {
                    NoteFailure(m_outcome, error, file->target);
                }
            }
        }
        if (!IsExtractionFolder(m_header.extraction) || !PathExists(m_header.extraction)) {
            return; // every file of the update left it before it was removed
        }
        for (const TPlannedEntry& entry : entries) {
            if (entry.kind == TPlannedEntry::TKind::Folder) {
                if (const std::optional<std::wstring> folder = Resolve(entry.target)) {
                    const DWORD error = CreateFolderAndGetError(*folder);
                    if (error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS) {
                        NoteFailure(m_outcome, error, *folder);
                    }
                }
            } else if (const std::optional<TFilePaths> file = Resolve(entry);
                       file && entry.movesIn && !file->source.empty()) {
                Redo(entry, *file);
            }
        }
    }

    // A backup goes before the .bak set aside in its place: the backup's own name tells it
    // from the user's file only while the set-aside one is there.
    void DeleteBackups(const std::vector<TPlannedEntry>& entries) {
        for (const TPlannedEntry& entry : entries) {
            if (const std::optional<TFilePaths> removed = ResolveRemoval(entry)) {
                Count(Retried(DeleteFileAndGetError, removed->aside), removed->aside,
                      m_outcome.dropped);
                continue;
            }
            const std::optional<TFilePaths> file = Resolve(entry);
            if (!file) {
                continue;
            }
            if (IsBackupMade(entry, *file)) {
                Count(Retried(DeleteFileAndGetError, file->bak), file->bak,
                      m_outcome.backupsDeleted);
            }
            if (!file->aside.empty()) {
                Count(Retried(DeleteFileAndGetError, file->aside), file->aside,
                      m_outcome.backupsDeleted);
            }
        }
    }

    // The plan lists, deepest first, the folders that held removed files and are no folders
    // of the update; only those that are empty now go.
    void RemoveEmptiedFolders(const std::vector<TPlannedEntry>& entries) {
        for (const TPlannedEntry& entry : entries) {
            if (entry.kind != TPlannedEntry::TKind::Prune) {
                continue;
            }
            if (const std::optional<std::wstring> folder = Resolve(entry.target);
                folder && RemoveFolderAndGetError(*folder) == ERROR_SUCCESS) {
                ++m_outcome.dropped;
            }
        }
    }

private:
    // A removal's file and the name it is set aside under, where the journal may be trusted with
    // them: both below the application directory, the second the first's name and more.
    std::optional<TFilePaths> ResolveRemoval(const TPlannedEntry& entry) const {
        if (entry.kind != TPlannedEntry::TKind::Removal) {
            return std::nullopt;
        }
        std::optional<std::wstring> target = Resolve(entry.target);
        std::optional<std::wstring> aside = Resolve(entry.aside);
        if (!target || !aside || !aside->starts_with(*target + L'.')) {
            return std::nullopt;
        }
        TFilePaths paths;
        paths.target = std::move(*target);
        paths.aside = std::move(*aside);
        return paths;
    }

    std::optional<std::wstring> Resolve(std::string_view path) const {
        std::wstring resolved = FromUtf8(path);
        if (!LiesBelow(resolved, m_header.application)) {
            return std::nullopt;
        }
        return resolved;
    }

    std::optional<TFilePaths> Resolve(const TPlannedEntry& entry) const {
        if (entry.kind != TPlannedEntry::TKind::File) {
            return std::nullopt;
        }
        TFilePaths paths;
        if (!entry.aside.empty()) {
            std::optional<std::wstring> bak = Resolve(entry.bak);
            std::optional<std::wstring> aside = Resolve(entry.aside);
            if (!bak || !aside || !aside->starts_with(*bak) ||
                !bak->ends_with(GetBackupPath(L""))) {
                return std::nullopt;
            }
            paths.bak = std::move(*bak);
            paths.aside = std::move(*aside);
        }
        if (!entry.target.empty()) {
            std::optional<std::wstring> target = Resolve(entry.target);
            if (!target || (!paths.bak.empty() && paths.bak != GetBackupPath(*target))) {
                return std::nullopt;
            }
            paths.target = std::move(*target);
        } else {
            paths.target = paths.bak.substr(0, paths.bak.size() - GetBackupPath(L"").size());
        }
        paths.bak = GetBackupPath(paths.target);
        // Only a roll forward reads from the extraction folder.
        if (std::wstring source = FromUtf8(entry.source);
            IsExtractionFolder(m_header.extraction) && LiesBelow(source, m_header.extraction)) {
            paths.source = std::move(source);
        }
        return paths;
    }

    // Where a .bak of earlier was to be set aside, the .bak name holds the backup only once that
    // happened; before, it is the user's file, which must survive whatever else happens.
    bool IsBackupMade(const TPlannedEntry& entry, const TFilePaths& file) const {
        return entry.backedUp && (file.aside.empty() || PathExists(file.aside));
    }

    template <class Operation, class... Arguments>
    DWORD Retried(Operation operation, const Arguments&... arguments) {
        return m_retry.Run([&] { return operation(arguments...); });
    }

    void Undo(const TPlannedEntry& entry, const TFilePaths& file) {
        if (entry.movesIn && !entry.backedUp) {
            // Whatever is at a name that the plan found free is the update's.
            Count(Retried(DeleteFileAndGetError, file.target), file.target, m_outcome.removed);
        }
        if (IsBackupMade(entry, file)) {
            // Whether or not the new file got in, the backup holds the old content; a backup that
            // is not there was never made, or is back already.
            Count(Retried(MoveFileReplacingAndGetError, file.bak, file.target), file.target,
                  m_outcome.restored);
        }
        if (!file.aside.empty()) {
            Count(Retried(MoveFileAndGetError, file.aside, file.bak), file.aside,
                  m_outcome.restored);
        }
    }

    // The steps of this file that the disk does not show yet, in their order.
    void Redo(const TPlannedEntry& entry, const TFilePaths& file) {
        const DWORD error = Retried(MoveFileInAndGetError, file.source, file.target, false);
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            Count(error, file.target, m_outcome.movedIn); // a source that is gone is in place
            return;
        }
        if (entry.backedUp && !IsBackupMade(entry, file)) {
            if (!file.aside.empty()) {
                if (const DWORD aside = Retried(MoveFileAndGetError, file.bak, file.aside);
                    aside != ERROR_SUCCESS && !IsMissing(aside)) {
                    NoteFailure(m_outcome, aside, file.bak);
                    return;
                }
            }
            if (const DWORD backup = Retried(MoveFileAndGetError, file.target, file.bak);
                backup != ERROR_SUCCESS) {
                NoteFailure(m_outcome, backup, file.target);
                return;
            }
        }
        // What is at the target now is a copy to another volume that was cut short.
        Count(Retried(MoveFileInAndGetError, file.source, file.target, true), file.target,
              m_outcome.movedIn);
    }

    void Count(DWORD error, const std::wstring& path, int& done) {
        if (error == ERROR_SUCCESS) {
            ++done;
        } else if (!IsMissing(error)) {
            NoteFailure(m_outcome, error, path);
        }
    }

    const TJournalHeader& m_header;
    TJournalOutcome& m_outcome;
    CTransientRetry& m_retry;
};

void FinishSteps(const std::wstring& journalPath, const TJournal& journal, TJournalOutcome& outcome,
                 CTransientRetry& retry) {
    CJournalFinisher finisher(journal.header, outcome, retry);
    if (journal.header.stage == TJournalStage::RemovingBackups) {
        finisher.RollForward(journal.entries);
        // A backup is the only copy of the old content until the new one is in place.
        if (outcome.finished) {
            finisher.DeleteBackups(journal.entries);
            finisher.RemoveEmptiedFolders(journal.entries);
        }
        return;
    }
    if (journal.header.stage == TJournalStage::Installing) {
        // Only a reader learns from this line: a run that dies while rolling back is rolled back
        // by the next one either way. So a journal that cannot take it does not stop the undo.
        try {
            CInstallJournal::Continue(journalPath).RecordStage(TJournalStage::RollingBack);
        } catch (...) {
        }
    }
    finisher.RollBack(journal.entries);
}

} // namespace

TJournalOutcome FinishJournal(const std::wstring& journalPath, CTransientRetry& retry) noexcept {
    TJournalOutcome outcome;
    try {
        if (!PathExists(journalPath)) {
            return outcome;
        }
        outcome.found = true;
        std::string text;
        if (const DWORD error = ReadWholeFile(journalPath, text); error != ERROR_SUCCESS) {
            NoteFailure(outcome, error, journalPath);
            return outcome;
        }
        const TJournal journal = ParseJournal(text);
        outcome.stage = journal.header.stage;
        // A plan cut short never reached the disk whole, and its stage never began.
        if (journal.header.stage != TJournalStage::Unpacking && journal.planComplete) {
            FinishSteps(journalPath, journal, outcome, retry);
        }
        // Files that a complete update still has to move in stay until they are in.
        const bool extractionNeeded =
            journal.header.stage == TJournalStage::RemovingBackups && !outcome.finished;
        if (IsExtractionFolder(journal.header.extraction) && !extractionNeeded) {
            if (const DWORD removal = RemoveFolderTree(journal.header.extraction);
                removal != ERROR_SUCCESS) {
                NoteFailure(outcome, removal, journal.header.extraction);
            }
        }
        if (outcome.finished) {
            if (const DWORD deletion = DeleteFileAndGetError(journalPath);
                deletion != ERROR_SUCCESS) {
                NoteFailure(outcome, deletion, journalPath);
            }
        }
    } catch (...) {
        // Out of memory: the journal stays for the next run.
        outcome.finished = false;
    }
    return outcome;
}
