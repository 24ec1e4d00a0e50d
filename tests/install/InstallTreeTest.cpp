#include "install/InstallTree.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "install/Recovery.h"

#include "support/InstantRetry.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <vector>

namespace fs = std::filesystem;

// An extraction folder with its item tree, as the unpacker leaves it, an application folder,
// and the journal of the run.
class InstallTreeTest : public ::testing::Test {
protected:
    InstallTreeTest() {
        fs::create_directories(m_app);
        fs::create_directories(m_source.GetPath());
    }

    CFileSystemItem* AddFile(CFileSystemItem& parent, const std::wstring& name,
                             const std::string& content) {
        WriteTextFile(parent.GetPath() + L"\\" + name, content);
        return parent.AddChild(parent.GetPath() + L"\\" + name, true);
    }

    CFileSystemItem* AddFolder(CFileSystemItem& parent, const std::wstring& name) {
        fs::create_directories(parent.GetPath() + L"\\" + name);
        return parent.AddChild(parent.GetPath() + L"\\" + name, false);
    }

    // The failure's message, or nothing.
    std::wstring Install(const std::wstring& destination, const InstallStopCheck& mustStop = {},
                         const std::vector<std::wstring>& removals = {}) {
        return Install(m_source, destination, mustStop, removals);
    }
    std::wstring Install(const CFileSystemItem& source, const std::wstring& destination,
                         const InstallStopCheck& mustStop = {},
                         const std::vector<std::wstring>& removals = {}) {
        if (!m_journal) {
            m_journal = CInstallJournal::Start(m_journalPath, m_app, m_folder / L"{extracted}");
        }
        try {
            InstallTree(source, destination, *m_journal, m_retry, removals, mustStop);
        } catch (const COrvException& failure) {
            EXPECT_EQ(failure.GetCode(), 0);
            return failure.GetText();
        }
        return L"";
    }

    // The step lines of the journal as written, without the application and extraction folders
    // in front of their paths, and with the unique part of a name given to a .bak in the way read
    // as {GUID}.
    std::vector<std::string> RecordedSteps() const {
        std::string text = ReadTextFile(m_journalPath);
        for (const std::wstring& folder : {m_app, m_source.GetPath()}) {
            const std::string prefix = std::string(folder.begin(), folder.end()) + "\\";
            for (std::size_t at = text.find(prefix); at != std::string::npos;
                 at = text.find(prefix, at)) {
                text.erase(at, prefix.size());
            }
        }
        const std::regex step("(folder|backup|aside|replace|add|remove|prune) [^\r]*");
        const std::regex guid("\\{[0-9A-F-]{36}\\}");
        std::vector<std::string> steps;
        for (std::sregex_iterator line(text.begin(), text.end(), step), last; line != last;
             ++line) {
            steps.push_back(std::regex_replace(line->str(), guid, "{GUID}"));
        }
        return steps;
    }

    TJournalOutcome Finish(TJournalStage stage) {
        if (stage == TJournalStage::RemovingBackups) {
            m_journal->RecordStage(stage);
        }
        m_journal.reset();
        return FinishJournal(m_journalPath, m_retry);
    }
    TJournalOutcome Complete() { return Finish(TJournalStage::RemovingBackups); }
    TJournalOutcome RollBack() { return Finish(TJournalStage::Installing); }

    TempFolder m_folder;
    std::wstring m_app = m_folder / L"App";
    std::wstring m_journalPath = m_folder / L"run.journal";
    CFileSystemItem m_source{m_folder / L"{extracted}", false};
    std::optional<CInstallJournal> m_journal;
    CInstantRetry m_retry;
};

TEST_F(InstallTreeTest, SetsStaleBackupsAsideUntilTheUpdateIsComplete) {
    WriteTextFile(m_app + L"\\a.dll", "old a");
    WriteTextFile(m_app + L"\\a.dll.bak", "stale a");
    // Left by an earlier run for a file that is gone since.
    WriteTextFile(m_app + L"\\b.dll.bak", "stale b");
    WriteTextFile(m_app + L"\\other.txt", "kept");
    AddFile(m_source, L"a.dll", "new a");
    AddFile(m_source, L"b.dll", "new b");

    EXPECT_EQ(Install(m_app), L"");

    EXPECT_EQ(RecordedSteps(),
              (std::vector<std::string>{"aside a.dll.bak\ta.dll.bak.{GUID}", "backup a.dll",
                                        "replace a.dll\ta.dll", "aside b.dll.bak\tb.dll.bak.{GUID}",
                                        "add b.dll\tb.dll"}));
    EXPECT_EQ(ReadFolder(m_app).size(), 6u);
    EXPECT_TRUE(ReadFolder(m_source.GetPath()).empty()) << "files were copied, not moved";
    const TJournalOutcome outcome = Complete();
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.backupsDeleted, 3);
    EXPECT_EQ(ReadFolder(m_app),
              (FolderContents{{L"a.dll", "new a"}, {L"b.dll", "new b"}, {L"other.txt", "kept"}}));
    EXPECT_FALSE(PathExists(m_journalPath));
}

// The check is asked before every file with the files of the whole tree; a stop leaves the
// files after it untouched, and the journal undoes the files before it.
TEST_F(InstallTreeTest, StopsBeforeAFileWhenAskedAndTheJournalRollsBack) {
    WriteTextFile(m_app + L"\\a.dll", "old a");
    WriteTextFile(m_app + L"\\c.dll", "old c");
    const FolderContents old = ReadFolder(m_app);
    AddFile(m_source, L"a.dll", "new a");
    AddFile(*AddFolder(m_source, L"sub"), L"b.dll", "new b");
    AddFile(m_source, L"c.dll", "new c");
    std::vector<std::pair<std::size_t, std::size_t>> asked;

    EXPECT_EQ(Install(m_app,
                      [&asked](std::size_t filesMoved, std::size_t filesTotal) {
                          asked.emplace_back(filesMoved, filesTotal);
                          return filesMoved == 2;
                      }),
              L"The session ends before the update is installed");

    EXPECT_EQ(asked, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 3}, {1, 3}, {2, 3}}));
    EXPECT_EQ(ReadFolder(m_app), (FolderContents{{L"a.dll", "new a"},
                                                 {L"a.dll.bak", "old a"},
                                                 {L"c.dll", "old c"},
                                                 {L"sub\\", ""},
                                                 {L"sub\\b.dll", "new b"}}));
    EXPECT_TRUE(RollBack().finished);
    EXPECT_EQ(ReadFolder(m_app), old);
}

// The destination is given with a trailing separator here and without one elsewhere.
TEST_F(InstallTreeTest, ReusesFoldersAndRecordsOnlyTheOnesItCreates) {
    CFileSystemItem* sub = AddFolder(m_source, L"sub");
    AddFile(*sub, L"x.txt", "new x");
    AddFile(*AddFolder(*sub, L"deep"), L"y.txt", "new y");
    WriteTextFile(m_app + L"\\sub\\x.txt", "old x");
    WriteTextFile(m_app + L"\\sub\\foreign.txt", "kept");

    EXPECT_EQ(Install(m_app + L"\\"), L"");

    EXPECT_EQ(RecordedSteps(), (std::vector<std::string>{
                                   "backup sub\\x.txt", "replace sub\\x.txt\tsub\\x.txt",
                                   "folder sub\\deep", "add sub\\deep\\y.txt\tsub\\deep\\y.txt"}));
    Complete();
    EXPECT_EQ(ReadFolder(m_app), (FolderContents{{L"sub\\", ""},
                                                 {L"sub\\deep\\", ""},
                                                 {L"sub\\deep\\y.txt", "new y"},
                                                 {L"sub\\foreign.txt", "kept"},
                                                 {L"sub\\x.txt", "new x"}}));
}

TEST_F(InstallTreeTest, BackupsThatCannotGoYetStayWithTheJournalUntilTheyCan) {
    for (const std::wstring name : {L"a.dll", L"b.dll", L"c.dll"}) {
        WriteTextFile(m_app + L"\\" + name, "old");
        AddFile(m_source, name, "new");
    }
    SetFileAttributesW((m_app + L"\\a.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(Install(m_app), L"");
    {
        // Another process still has the old b.dll loaded.
        const CFileHandle held(CreateFileW((m_app + L"\\b.dll.bak").c_str(), GENERIC_READ,
                                           FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));

        const TJournalOutcome outcome = Complete();

        EXPECT_FALSE(outcome.finished);
        EXPECT_EQ(outcome.failedPath, m_app + L"\\b.dll.bak");
        EXPECT_EQ(outcome.backupsDeleted, 2);
        EXPECT_EQ(
            ReadFolder(m_app),
            (FolderContents{
                {L"a.dll", "new"}, {L"b.dll", "new"}, {L"b.dll.bak", "old"}, {L"c.dll", "new"}}));
    }
    const TJournalOutcome later = FinishJournal(m_journalPath, m_retry);
    EXPECT_TRUE(later.finished);
    EXPECT_EQ(later.stage, TJournalStage::RemovingBackups);
    EXPECT_EQ(ReadFolder(m_app),
              (FolderContents{{L"a.dll", "new"}, {L"b.dll", "new"}, {L"c.dll", "new"}}));
    EXPECT_FALSE(PathExists(m_journalPath));
}

TEST_F(InstallTreeTest, RollbackRestoresExactlyTheOldDirectory) {
    AddFile(m_source, L"added.dll", "new added");
    AddFile(*AddFolder(*AddFolder(m_source, L"plugins"), L"en"), L"strings.txt", "new strings");
    WriteTextFile(m_app + L"\\notes.txt.bak", "the user's own");
    FolderContents before{{L"notes.txt.bak", "the user's own"}};
    for (const std::wstring name : {L"notes.txt", L"1.dll", L"2.dll", L"3.dll", L"4.dll"}) {
        before[name] = "old " + std::string(name.begin(), name.end());
        WriteTextFile(m_app + L"\\" + name, before[name]);
        AddFile(m_source, name, "new");
    }
    fs::remove(m_source.GetChild(5)->GetPath());

    EXPECT_EQ(Install(m_app), L"Can not move file: " + m_app + L"\\3.dll");
    const TJournalOutcome outcome = RollBack();

    EXPECT_TRUE(outcome.finished);
    // notes.txt and the user's notes.txt.bak, 1.dll, 2.dll and 3.dll.
    EXPECT_EQ(outcome.restored, 5);
    // added.dll, plugins\en\strings.txt and the two folders.
    EXPECT_EQ(outcome.removed, 4);
    EXPECT_EQ(ReadFolder(m_app), before);
    EXPECT_FALSE(PathExists(m_journalPath));
    EXPECT_FALSE(FinishJournal(m_journalPath, m_retry).found);
}

// Only the listed files that are there go, set aside until the update is complete, and then
// the folders they leave empty, deepest first; anything of the user's keeps its folder, and a
// folder that the update brings stays even when empty.
TEST_F(InstallTreeTest, RemovesDroppedFilesOnceCompleteAndOnlyTheFoldersTheyLeaveEmpty) {
    const FolderContents old = {{L"core.dll", "old core"},
                                {L"old.dll", "old"},
                                {L"plugins\\", ""},
                                {L"plugins\\old\\", ""},
                                {L"plugins\\old\\a.dll", "old a"},
                                {L"plugins\\old\\deep\\", ""},
                                {L"plugins\\old\\deep\\b.ini", "old b"},
                                {L"lib\\", ""},
                                {L"lib\\gone.dll", "old gone"},
                                {L"lib\\mine.txt", "the user's"},
                                {L"made.dll\\", ""},
                                {L"made.dll\\x.txt", "a folder the user made of a listed name"}};
    for (const auto& [name, content] : old) {
        if (name.back() != L'\\') {
            WriteTextFile(m_app + L"\\" + name, content);
        }
    }
    const std::vector<std::wstring> removals = {
        L"old.dll",       L"plugins\\old\\a.dll", L"plugins\\old\\deep\\b.ini",
        L"lib\\gone.dll", L"missing.dll",         L"made.dll"};
    AddFile(m_source, L"core.dll", "new core");
    // The update keeps this folder, empty.
    AddFolder(*AddFolder(m_source, L"plugins"), L"old");
    {
        // Another program holds a file that goes: the install fails and is undone.
        const CFileHandle held(CreateFileW((m_app + L"\\lib\\gone.dll").c_str(), GENERIC_READ,
                                           FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(Install(m_app, {}, removals),
                  L"Can not remove file: " + m_app + L"\\lib\\gone.dll");
    }
    EXPECT_TRUE(RollBack().finished);
    EXPECT_EQ(ReadFolder(m_app), old);

    // The rollback took the new file away again; the unpacker would bring it back.
    WriteTextFile(m_source.GetPath() + L"\\core.dll", "new core");
    EXPECT_EQ(Install(m_app, {}, removals), L"");
    EXPECT_EQ(RecordedSteps(),
              (std::vector<std::string>{
                  "backup core.dll", "replace core.dll\tcore.dll", "remove old.dll\told.dll.{GUID}",
                  "remove plugins\\old\\a.dll\tplugins\\old\\a.dll.{GUID}",
                  "remove plugins\\old\\deep\\b.ini\tplugins\\old\\deep\\b.ini.{GUID}",
                  "remove lib\\gone.dll\tlib\\gone.dll.{GUID}", "prune plugins\\old\\deep",
                  "prune lib"}));
    const TJournalOutcome outcome = Complete();
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.dropped, 5) << "four files and a folder";
    EXPECT_EQ(ReadFolder(m_app),
              (FolderContents{{L"core.dll", "new core"},
                              {L"plugins\\", ""},
                              {L"plugins\\old\\", ""},
                              {L"lib\\", ""},
                              {L"lib\\mine.txt", "the user's"},
                              {L"made.dll\\", ""},
                              {L"made.dll\\x.txt", "a folder the user made of a listed name"}}));
}

TEST_F(InstallTreeTest, RollbackPutsABackupOfABackupBackFirst) {
    // An update that carries both a.dll and a.dll.bak.
    WriteTextFile(m_app + L"\\a.dll", "old a");
    AddFile(m_source, L"a.dll", "new a");
    AddFile(m_source, L"a.dll.bak", "new a.bak");
    m_source.AddChild(m_source.GetPath() + L"\\vanished.dll", true);

    EXPECT_EQ(Install(m_app), L"Can not move file: " + m_app + L"\\vanished.dll");
    RollBack();
    EXPECT_EQ(ReadFolder(m_app), (FolderContents{{L"a.dll", "old a"}}));
}

TEST_F(InstallTreeTest, EachFailureNamesItsOperationAndPath) {
    const std::wstring target = m_app + L"\\a.dll";
    WriteTextFile(target, "old a");
    AddFile(m_source, L"a.dll", "new a");

    WriteTextFile(target + L".bak\\inside.txt", "a folder is nobody's backup");
    EXPECT_EQ(Install(m_app), L"Can not delete file: " + target + L".bak");
    fs::remove_all(target + L".bak");
    {
        // The application still holds its file open.
        const CFileHandle held(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(Install(m_app), L"Can not rename file: " + target);
    }
    fs::remove(m_source.GetChild(0)->GetPath());
    EXPECT_EQ(Install(m_app), L"Can not move file: " + target);

    // A file of the application where the update has a folder, and the other way round.
    CFileSystemItem clashes(m_source.GetPath(), false);
    AddFolder(clashes, L"plugins");
    WriteTextFile(m_app + L"\\plugins", "a file of the application");
    EXPECT_EQ(Install(clashes, m_app), L"Can not create directory: " + m_app + L"\\plugins");
    AddFile(clashes, L"data", "a file of the update");
    fs::remove(m_app + L"\\plugins");
    WriteTextFile(m_app + L"\\data\\user.cfg", "a folder of the application");
    EXPECT_EQ(Install(clashes, m_app), L"Can not rename file: " + m_app + L"\\data");

    CFileSystemItem folderOnly(m_source.GetPath(), false);
    AddFolder(folderOnly, L"sub");
    const std::wstring nowhere = m_folder / L"missing\\App";
    EXPECT_EQ(Install(folderOnly, nowhere), L"Can not create directory: " + nowhere + L"\\sub");

    RollBack();
    EXPECT_EQ(ReadFolder(m_app),
              (FolderContents{{L"a.dll", "old a"},
                              {L"data\\", ""},
                              {L"data\\user.cfg", "a folder of the application"}}));
}

TEST_F(InstallTreeTest, WorksBeyondMaxPathAndNeverCutsTheMessage) {
    const std::wstring deep = L"\\a-folder-name-of-some-length-for-paths-beyond-max-path";
    m_app += deep + deep + deep + deep + deep;
    m_source.Set(m_source.GetPath() + deep + deep + deep + deep + deep, false);
    fs::create_directories(m_source.GetPath());
    CFileSystemItem* sub = AddFolder(m_source, L"sub");
    AddFile(*sub, L"x.txt", "new x");
    sub->AddChild(sub->GetPath() + L"\\vanished.txt", true);
    const std::wstring target = m_app + L"\\sub\\x.txt";
    WriteTextFile(target, "old x");

    EXPECT_EQ(Install(m_app), L"Can not move file: " + m_app + L"\\sub\\vanished.txt");
    EXPECT_EQ(ReadTextFile(target), "new x");
    EXPECT_EQ(ReadTextFile(target + L".bak"), "old x");
    RollBack();
    EXPECT_EQ(ReadTextFile(target), "old x");
    EXPECT_FALSE(PathExists(target + L".bak"));
}
