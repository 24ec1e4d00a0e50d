#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "install/InstallTree.h"
#include "install/Recovery.h"

#include "support/InstantRetry.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A death after a given number of changes to the disk: every later one is refused, as nothing
// runs after a death. A power cut also loses what the journal had not flushed, which is what was
// written after the last flush.
struct TDeath {
    std::size_t changesLeft;
    std::wstring journal;
    std::uintmax_t flushedLength = 0;
};

TDeath* g_death = nullptr;

bool PassUntilDeath(TDiskChange change) {
    if (g_death->changesLeft == 0) {
        return false;
    }
    --g_death->changesLeft;
    // Folders are flushed only while the journal does not change, so its length at any flush is
    // its length at its own last one.
    if (change == TDiskChange::Flush) {
        std::error_code missing;
        g_death->flushedLength = fs::file_size(g_death->journal, missing);
    }
    return true;
}

// The gate for one stretch of a run, and the changes it let through.
class CDeathGate {
public:
    explicit CDeathGate(TDeath& death) {
        g_death = &death;
        SetDiskChangeGate(&PassUntilDeath);
    }
    CDeathGate(const CDeathGate&) = delete;
    CDeathGate& operator=(const CDeathGate&) = delete;
    virtual ~CDeathGate() { SetDiskChangeGate(nullptr); }

    // Also when the stretch needed exactly the changes it was given.
    bool Died() const { return g_death->changesLeft == 0; }
};

enum class TLoss { Nothing, Unflushed };

const FolderContents OldVersion = {
    {L"Orvandel.exe", "old exe"},
    {L"core.dll", "old core"},
    {L"notes.txt", "old notes"},
    {L"notes.txt.bak", "the user's own notes.txt.bak"},
    {L"data\\", ""},
    {L"data\\a.txt", "old a"},
    {L"data\\b.txt", "old b, not in the update"},
    {L"data\\gone.txt", "old gone, dropped by the update"},
    {L"old.dll", "old, dropped by the update"},
    {L"oldplugin\\", ""},
    {L"oldplugin\\x\\", ""},
    {L"oldplugin\\x\\y.dll", "old y, dropped by the update with its folders"},
};

// The files of the old version that the update no longer has; one is gone already.
const std::vector<std::wstring> Removals = {L"old.dll", L"oldplugin\\x\\y.dll", L"data\\gone.txt",
                                            L"missing.dll"};

const std::vector<std::pair<std::wstring, std::string>> Update = {
    {L"setup.exe", "new setup"},         {L"Orvandel.exe", "new exe"},
    {L"core.dll", "new core"},           {L"notes.txt", "new notes"},
    {L"data\\a.txt", "new a"},           {L"data\\c.txt", "new c"},
    {L"plugins\\new.dll", "new plugin"}, {L"plugins\\en\\strings.txt", "new strings"},
    {L"added.txt", "new added"},
};

FolderContents NewVersion() {
    FolderContents contents = OldVersion;
    for (const wchar_t* dropped : {L"notes.txt.bak", L"data\\gone.txt", L"old.dll", L"oldplugin\\",
                                   L"oldplugin\\x\\", L"oldplugin\\x\\y.dll"}) {
        contents.erase(dropped);
    }
    for (const auto& [name, content] : Update) {
        contents[name] = content;
    }
    contents[L"plugins\\"] = "";
    contents[L"plugins\\en\\"] = "";
    return contents;
}

} // namespace

// The real install of a small update, which also removes files of the old version and the
// folders they leave empty, and its finishing, stopped after each of its changes to the disk in
// turn, with the journal as a kill leaves it and as a power cut may, then finished by
// the next run: whatever the point, the directory is exactly one version, the new one only once
// the journal that survived declares the update complete.
class DeathAtEveryStepTest : public ::testing::Test {
protected:
    // Lays out both versions afresh and runs the update until the death; false when it ran to
    // its end.
    bool RunUntilDeath(std::size_t changes) {
        m_folder.emplace();
        m_app = *m_folder / L"App";
        m_extraction = *m_folder / L"{0B3C2D6E-1A2B-4C5D-8E9F-A0B1C2D3E4F5}";
        m_journal = *m_folder / L"run.journal";
        for (const auto& [name, content] : OldVersion) {
            if (name.back() != L'\\') {
                WriteTextFile(m_app + L"\\" + name, content);
            }
        }
        CFileSystemItem root(m_extraction, false);
        for (const auto& [name, content] : Update) {
            WriteTextFile(m_extraction + L"\\" + name, content);
            AddItem(root, name);
        }
        std::optional<CInstallJournal> journal =
            CInstallJournal::Start(m_journal, m_app, m_extraction);
        m_death = TDeath{changes, m_journal, fs::file_size(m_journal)};
        const CDeathGate gate(m_death);
        try {
            InstallTree(root, m_app, *journal, m_retry, Removals);
            journal->RecordStage(TJournalStage::RemovingBackups);
        } catch (const COrvException&) {
        }
        journal.reset();
        FinishJournal(m_journal, m_retry);
        return gate.Died();
    }

    // What the disk keeps of the journal, and whether that declares the update complete.
    bool KeepJournal(TLoss loss) const {
        if (!fs::exists(m_journal)) {
            return true; // it goes only once the update is finished
        }
        if (loss == TLoss::Unflushed) {
            fs::resize_file(m_journal, m_death.flushedLength);
        }
        return ReadTextFile(m_journal).find("\r\nstage removing backups\r\n") != std::string::npos;
    }

    void ExpectOneVersion(bool complete, const std::string& where) const {
        EXPECT_EQ(ReadFolder(m_app), complete ? NewVersion() : OldVersion) << where;
        EXPECT_FALSE(fs::exists(m_extraction)) << where;
        EXPECT_FALSE(fs::exists(m_journal)) << where;
    }

    // The next run's finishing; stopped after changes of its own when given, and finished then
    // by the run after it. True when the stopped one died.
    bool FinishAsTheNextRun(TLoss loss, const std::string& where,
                            std::optional<std::size_t> changes = std::nullopt) {
        const bool complete = KeepJournal(loss);
        bool died = false;
        if (changes && fs::exists(m_journal)) {
            m_death = TDeath{*changes, m_journal, fs::file_size(m_journal)};
            const CDeathGate gate(m_death);
            FinishJournal(m_journal, m_retry);
            died = gate.Died();
        }
        if (fs::exists(m_journal)) {
            EXPECT_EQ(KeepJournal(loss), complete) << where << ": the decision changed";
        }
        const TJournalOutcome outcome = FinishJournal(m_journal, m_retry);
        EXPECT_TRUE(outcome.finished) << where;
        ExpectOneVersion(complete, where);
        return died;
    }

    static void AddItem(CFileSystemItem& root, const std::wstring& relative) {
        CFileSystemItem* folder = &root;
        for (std::size_t start = 0;;) {
            const std::size_t separator = relative.find(L'\\', start);
            const std::wstring path = root.GetPath() + L"\\" + relative.substr(0, separator);
            CFileSystemItem* existing = nullptr;
            for (int i = 0; i < folder->GetChildCount(); ++i) {
                if (folder->GetChild(i)->GetPath() == path) {
                    existing = folder->GetChild(i);
                }
            }
            if (separator == std::wstring::npos) {
                folder->AddChild(path, true);
                return;
            }
            folder = existing != nullptr ? existing : folder->AddChild(path, false);
            start = separator + 1;
        }
    }

    std::optional<TempFolder> m_folder;
    std::wstring m_app;
    std::wstring m_extraction;
    std::wstring m_journal;
    TDeath m_death{0, {}};
    CInstantRetry m_retry;
};

TEST_F(DeathAtEveryStepTest, EndsAtOneVersionWhereverTheRunDies) {
    for (const TLoss loss : {TLoss::Nothing, TLoss::Unflushed}) {
        std::size_t changes = 0;
        for (; RunUntilDeath(changes); ++changes) {
            FinishAsTheNextRun(loss, "died after change " + std::to_string(changes));
        }
        ExpectOneVersion(true, "the run that did not die");
        EXPECT_GT(changes, Update.size() * 2);
    }
}

// Each finishing stopped at every one of its changes, for deaths of the install halfway to its
// commit, right before and right after it, and halfway through the backups' removal.
TEST_F(DeathAtEveryStepTest, EndsAtOneVersionWhereverItsFinishingDiesToo) {
    std::size_t commit = 0;
    while (RunUntilDeath(commit) && !KeepJournal(TLoss::Unflushed)) {
        ++commit;
    }
    std::size_t end = commit;
    while (RunUntilDeath(end)) {
        ++end;
    }
    for (const std::size_t changes : {commit / 2, commit - 1, commit, (commit + end) / 2}) {
        for (std::size_t again = 0;; ++again) {
            ASSERT_TRUE(RunUntilDeath(changes));
            if (!FinishAsTheNextRun(TLoss::Unflushed,
                                    "died after change " + std::to_string(changes) +
                                        ", its finishing after change " + std::to_string(again),
                                    again)) {
                break;
            }
        }
    }
}
