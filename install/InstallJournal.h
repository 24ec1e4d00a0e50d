#pragma once

#include "common/Handle.h"

#include <cstddef>
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

// One step of the install's plan.
enum class TJournalStep {
    Folder,  // a folder that is not there is created
    Backup,  // an existing file is renamed to its .bak name
    Aside,   // a .bak of earlier in the way is renamed to a unique name
    Replace, // the new file is moved in where the backup was made
    Add,     // the new file is moved in where there was no file
    Remove,  // a file that the update drops is renamed to a unique name
    Prune,   // once the update is complete, a folder is removed if the removals left it empty
};

// One line of a journal: a header field, the end of the plan, a stage or a step. The texts are
// the journal's own UTF-8 and live as long as the text they were read from.
struct TJournalLine {
    enum class TKind { Application, Extraction, Plan, Stage, Step } kind = TKind::Step;
    TJournalStage stage = TJournalStage::Unpacking;
    TJournalStep step = TJournalStep::Folder;
    std::size_t planned = 0; // Plan: the number of steps before it
    std::string_view path;   // the folder of a header field, the target of a step
    std::string_view second; // Aside and Remove: the unique name the file gets; Replace and
                             // Add: the file moved in, in the extraction folder
};

// What one run does to the application directory, so that a run that dies at any instruction,
// a power cut among them, leaves enough behind to bring the directory back to exactly one
// version. It is a UTF-8 text that a support engineer can read, one line per step or stage:
//
//   Orvandel Updater journal
//   application C:\Program Files\Orvandel
//   extraction C:\Users\ann\AppData\Local\Temp\{5E0C...}
//   folder C:\Program Files\Orvandel\plugins
//   backup C:\Program Files\Orvandel\Orvandel.exe
//   replace C:\Program Files\Orvandel\Orvandel.exe<TAB>C:\...\{5E0C...}\Orvandel.exe
//   aside C:\Program Files\Orvandel\notes.txt.bak<TAB>C:\...\notes.txt.bak.{9A1B...}
//   add C:\Program Files\Orvandel\notes.txt<TAB>C:\...\{5E0C...}\notes.txt
//   remove C:\Program Files\Orvandel\plugins\old.dll<TAB>C:\...\old.dll.{7F2D...}
//   prune C:\Program Files\Orvandel\plugins
//   plan 7 steps
//   stage installing
//   stage removing backups
//
// The whole plan of the install, every step in the order it happens, reaches the disk with the
// stage that begins it, in one flush before the first step; nothing is written while the steps
// are carried out. What happened of them is read off the disk. A plan whose count does not
// match its steps was cut short before that flush, so none of its steps began. Every stage is
// flushed: the one that declares the update complete must never be lost while backups go.
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

    // Writes what is pending and the stage, and flushes both to the disk. The stage installing
    // closes the plan with its count.
    void RecordStage(TJournalStage stage);
    // A step of the plan; second as in TJournalLine. It is written with the next stage.
    void RecordStep(TJournalStep step, const std::wstring& path,
                    const std::wstring& second = std::wstring());

private:
    CInstallJournal(const std::wstring& path, DWORD disposition);
    // The fields are UTF-8 already.
    void Append(std::string_view keyword, std::string_view first = std::string_view(),
                std::string_view second = std::string_view());
    void WritePending();
    void Flush();
    [[noreturn]] void ThrowWriteError() const;

    std::wstring m_path;
    CFileHandle m_file;
    std::string m_pending;
    std::size_t m_planned = 0;
};

// Hands every complete line of a journal's text to the handler, in order. Lines that are cut
// short or that this version cannot read are passed over.
void ForEachJournalLine(std::string_view text,
                        const std::function<void(const TJournalLine&)>& handle);
