#pragma once

#include "common/Handle.h"

#include <functional>
#include <string>
#include <string_view>

// How far a run got, as its journal says.
enum class TJournalStage {
    Unpacking,       // nothing in the application directory has changed yet
    Installing,      // files are being moved in; undone if the run ends here
    RemovingBackups, // every file is in place: the update is complete
    RollingBack,
};

// "unpacking", "installing", "removing backups" or "rolling back", as the journal writes it.
std::string_view GetStageName(TJournalStage stage);

// One step of the install, recorded before it begins.
enum class TJournalStep {
    Folder,  // a folder that did not exist is about to be created
    Backup,  // an existing file is about to be renamed to its .bak name
    Aside,   // a .bak of earlier in the way is about to be renamed to a unique name
    Replace, // the new file is about to be moved in where a backup was made
    Add,     // the new file is about to be moved in where there was no file
};

// One line of a journal: a header field, a stage or a step.
struct TJournalLine {
    enum class TKind { Application, Extraction, Stage, Step } kind = TKind::Step;
    TJournalStage stage = TJournalStage::Unpacking;
    TJournalStep step = TJournalStep::Folder;
    std::wstring path;  // the directory or folder of a header field, the target of a step
    std::wstring aside; // for Aside: the unique name the .bak gets
};

// What one run is about to do to the application directory, so that a run that dies at any
// instruction leaves enough behind to bring the directory back to exactly one version. It is a
// UTF-8 text that a support engineer can read, one line per stage or step:
//
//   Orvandel Updater journal
//   application C:\Program Files\Orvandel
//   extraction C:\Users\ann\AppData\Local\Temp\{5E0C...}
//   stage installing
//   folder C:\Program Files\Orvandel\plugins
//   backup C:\Program Files\Orvandel\Orvandel.exe
//   replace C:\Program Files\Orvandel\Orvandel.exe
//   aside C:\Program Files\Orvandel\notes.txt.bak<TAB>C:\...\notes.txt.bak.{9A1B...}
//   add C:\Program Files\Orvandel\plugins\new.dll
//   stage removing backups
//
// Each line reaches the system with WriteFile before its step begins, so a process killed right
// after it still leaves it on disk. A line without its line break is a record cut short by the
// death of its writer; its step never began. Stages are also flushed to the disk itself: the
// one that declares the update complete must never be lost while backups are deleted.
class CInstallJournal {
public:
    // Starts the journal of a run. A journal that is there already is never replaced: it is a
    // dead run's, which must be finished first. Every failure here and below throws
    // COrvException naming the journal.
    static CInstallJournal Start(const std::wstring& path, const std::wstring& applicationDirectory,
                                 const std::wstring& extractionFolder);
    // Opens an existing journal to record a further stage.
    static CInstallJournal Continue(const std::wstring& path);

    CInstallJournal(const CInstallJournal&) = delete;
    CInstallJournal& operator=(const CInstallJournal&) = delete;
    CInstallJournal(CInstallJournal&&) = default;
    CInstallJournal& operator=(CInstallJournal&&) = default;
    virtual ~CInstallJournal() = default;

    void RecordStage(TJournalStage stage);
    void RecordStep(TJournalStep step, const std::wstring& path);
    void RecordAside(const std::wstring& bak, const std::wstring& aside);

private:
    CInstallJournal(const std::wstring& path, DWORD disposition);
    // The fields are UTF-8 already.
    void Append(std::string_view keyword, std::string_view first = std::string_view(),
                std::string_view second = std::string_view());
    [[noreturn]] void ThrowWriteError() const;

    std::wstring m_path;
    CFileHandle m_file;
};

// Hands every complete line of the journal to the handler, in order; ERROR_SUCCESS, or why the
// journal could not be opened or read to its end. Lines that are cut short or that this version
// cannot read are passed over.
DWORD ForEachJournalLine(const std::wstring& path,
                         const std::function<void(const TJournalLine&)>& handle);
