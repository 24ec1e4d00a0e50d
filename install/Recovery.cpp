#include "install/Recovery.h"

#include "common/FileHelpers.h"
#include "install/InstallTree.h"
#include "zip/core/NameScreen.h"

#include <cwctype>
#include <functional>
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

class CJournalFinisher {
public:
    CJournalFinisher(const TJournalHeader& header, TJournalOutcome& outcome, CTransientRetry& retry)
        : m_header(header), m_outcome(outcome), m_retry(retry) {}

    // The journal's steps in order, those that lie within its own folders only.
    DWORD ForEachTrustedStep(const std::wstring& journalPath,
                             const std::function<void(const TJournalLine&)>& handle) const {
        return ForEachJournalLine(journalPath, [&](const TJournalLine& line) {
            if (line.kind == TJournalLine::TKind::Step && Trusts(line)) {
                handle(line);
            }
        });
    }

    // Newest first. A step may or may not have happened before the run ended; each undo asks
    // the file system, by the outcome of its own call, whether there is anything to undo.
    void RollBack(const std::vector<TJournalLine>& steps) {
        for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
            UndoStep(*step);
        }
        // The .bak of earlier gets its name back only once the backup made in its place has
        // gone back over its target.
        for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
            if (step->step == TJournalStep::Aside) {
                Count(Retried(MoveFileAndGetError, step->aside, step->path), step->aside,
                      m_outcome.restored);
            }
        }
    }

    void DeleteBackup(const TJournalLine& line) {
        if (line.step == TJournalStep::Replace) {
            const std::wstring bak = GetBackupPath(line.path);
            Count(Retried(DeleteFileAndGetError, bak), bak, m_outcome.backupsDeleted);
        } else if (line.step == TJournalStep::Aside) {
            Count(Retried(DeleteFileAndGetError, line.aside), line.aside, m_outcome.backupsDeleted);
        }
    }

private:
    bool Trusts(const TJournalLine& line) const {
        return LiesBelow(line.path, m_header.application) &&
               (line.step != TJournalStep::Aside || LiesBelow(line.aside, m_header.application));
    }

    template <class Operation, class... Paths>
    DWORD Retried(Operation operation, const Paths&... paths) {
        return m_retry.Run([&] { return operation(paths...); });
    }

    void UndoStep(const TJournalLine& line) {
        switch (line.step) {
        case TJournalStep::Add:
            Count(Retried(DeleteFileAndGetError, line.path), line.path, m_outcome.removed);
            break;
        case TJournalStep::Replace:
            // Whether or not the new file got in, the backup holds the old content.
            Count(Retried(MoveFileReplacingAndGetError, GetBackupPath(line.path), line.path),
                  line.path, m_outcome.restored);
            break;
        case TJournalStep::Backup: {
            // Only where the rename to .bak happened is the target gone; an existing target
            // means there is nothing to put back.
            const DWORD error = Retried(MoveFileAndGetError, GetBackupPath(line.path), line.path);
            if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
                Count(error, line.path, m_outcome.restored);
            }
            break;
        }
        case TJournalStep::Folder:
            // A folder that is not empty holds what could not be removed, which is reported
            // already; a folder that is gone was never made.
            if (RemoveDirectoryW(ToExtendedLengthPath(line.path).c_str())) {
                ++m_outcome.removed;
            }
            break;
        case TJournalStep::Aside:
            break;
        }
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

void FinishSteps(const std::wstring& journalPath, const TJournalHeader& header,
                 TJournalOutcome& outcome, CTransientRetry& retry) {
    CJournalFinisher finisher(header, outcome, retry);
    if (header.stage == TJournalStage::RemovingBackups) {
        const DWORD error = finisher.ForEachTrustedStep(
            journalPath, [&finisher](const TJournalLine& line) { finisher.DeleteBackup(line); });
        if (error != ERROR_SUCCESS) {
            NoteFailure(outcome, error, journalPath);
        }
        return;
    }
    if (header.stage == TJournalStage::Installing) {
        // Only a reader learns from this line: a run that dies while rolling back is rolled back
        // by the next one either way. So a journal that cannot take it does not stop the undo.
        try {
            CInstallJournal::Continue(journalPath).RecordStage(TJournalStage::RollingBack);
        } catch (...) {
        }
    }
    std::vector<TJournalLine> steps;
    const DWORD error = finisher.ForEachTrustedStep(
        journalPath, [&steps](const TJournalLine& line) { steps.push_back(line); });
    if (error != ERROR_SUCCESS) {
        // Undoing only some of the steps could undo a later one without an earlier one.
        NoteFailure(outcome, error, journalPath);
        return;
    }
    finisher.RollBack(steps);
}

} // namespace

TJournalOutcome FinishJournal(const std::wstring& journalPath, CTransientRetry& retry) noexcept {
    TJournalOutcome outcome;
    try {
        if (!PathExists(journalPath)) {
            return outcome;
        }
        outcome.found = true;
        // Read once for the header and the stage, then again for the steps: the steps of a large
        // update would cost megabytes of memory, reading the file again from the cache little.
        TJournalHeader header;
        const DWORD error = ForEachJournalLine(journalPath, [&header](const TJournalLine& line) {
            if (line.kind == TJournalLine::TKind::Application) {
                header.application = line.path;
            } else if (line.kind == TJournalLine::TKind::Extraction) {
                header.extraction = line.path;
            } else if (line.kind == TJournalLine::TKind::Stage) {
                header.stage = line.stage;
            }
        });
        outcome.stage = header.stage;
        if (error != ERROR_SUCCESS) {
            NoteFailure(outcome, error, journalPath);
            return outcome;
        }
        if (header.stage != TJournalStage::Unpacking) {
            FinishSteps(journalPath, header, outcome, retry);
        }
        // Nothing that is still to be done needs the unpacked files.
        if (IsExtractionFolder(header.extraction)) {
            if (const DWORD removal = RemoveFolderTree(header.extraction);
                removal != ERROR_SUCCESS) {
                NoteFailure(outcome, removal, header.extraction);
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
