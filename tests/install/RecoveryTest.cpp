#include "install/Recovery.h"

#include "common/FileHelpers.h"
#include "common/TextHelpers.h"

#include "support/InstantRetry.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <initializer_list>

// The journal and the directories that a run left when it died at some instruction, each test
// laying out the disk as the journal's last step left it.
class RecoveryTest : public ::testing::Test {
protected:
    // Writes the header and the given lines; the last one without its line break when cut.
    void WriteJournal(std::initializer_list<std::wstring> lines, bool lastLineCut = false) {
        std::wstring text = L"Orvandel Updater journal\r\napplication " + m_app +
                            L"\r\nextraction " + m_extraction + L"\r\n";
        for (const std::wstring& line : lines) {
            text += line + L"\r\n";
        }
        if (lastLineCut) {
            text.resize(text.size() - 2);
        }
        WriteTextFile(m_journal, ToUtf8(text));
    }

    std::wstring App(const std::wstring& relative) const { return m_app + L"\\" + relative; }

    void ExpectAllClearedUp() const {
        EXPECT_FALSE(PathExists(m_extraction));
        EXPECT_FALSE(PathExists(m_journal));
    }

    TempFolder m_folder;
    std::wstring m_app = m_folder / L"App";
    std::wstring m_extraction = m_folder / L"{0B3C2D6E-1A2B-4C5D-8E9F-A0B1C2D3E4F5}";
    std::wstring m_journal = m_folder / L"Orvandel Updater 0123456789ABCDEF.journal";
    CInstantRetry m_retry;
};

TEST_F(RecoveryTest, WithoutAJournalNothingHappens) {
    WriteTextFile(App(L"a.dll.bak"), "old a");

    const TJournalOutcome outcome = FinishJournal(m_journal, m_retry);

    EXPECT_FALSE(outcome.found);
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(ReadFolder(m_app), (FolderContents{{L"a.dll.bak", "old a"}}));
}

TEST_F(RecoveryTest, DeadWhileUnpackingLeavesOnlyTheExtractionFolderToRemove) {
    WriteTextFile(App(L"a.dll"), "old a");
    WriteTextFile(m_extraction + L"\\sub\\deep\\a.dll", "new a");
    WriteJournal({});

    const TJournalOutcome outcome = FinishJournal(m_journal, m_retry);

    EXPECT_TRUE(outcome.found);
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.stage, TJournalStage::Unpacking);
    EXPECT_EQ(ReadFolder(m_app), (FolderContents{{L"a.dll", "old a"}}));
    ExpectAllClearedUp();
}

// Every kind of step, the last one cut short as its writer died: a.dll replaced, plugins and
// its new.dll added, b.dll backed up with the user's b.dll.bak set aside, and the record of
// b.dll's move-in cut, so that move never began.
TEST_F(RecoveryTest, DeadWhileInstallingIsUndoneNewestFirst) {
    WriteTextFile(App(L"a.dll"), "new a");
    WriteTextFile(App(L"a.dll.bak"), "old a");
    WriteTextFile(App(L"plugins\\new.dll"), "new");
    WriteTextFile(App(L"b.dll.bak"), "old b");
    WriteTextFile(App(L"b.dll.bak.{1}"), "the user's own b.dll.bak");
    WriteTextFile(App(L"c.dll"), "old c, not reached");
    WriteTextFile(m_extraction + L"\\b.dll", "new b");
    WriteJournal({L"stage installing", L"backup " + App(L"a.dll"), L"replace " + App(L"a.dll"),
                  L"folder " + App(L"plugins"), L"add " + App(L"plugins\\new.dll"),
                  L"backup " + App(L"b.dll"),
                  L"aside " + App(L"b.dll.bak") + L"\t" + App(L"b.dll.bak.{1}"),
                  L"replace " + App(L"b.dll")},
                 true);

    const TJournalOutcome outcome = FinishJournal(m_journal, m_retry);

    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.stage, TJournalStage::Installing);
    EXPECT_EQ(outcome.restored, 3);
    EXPECT_EQ(outcome.removed, 2);
    EXPECT_EQ(ReadFolder(m_app), (FolderContents{{L"a.dll", "old a"},
                                                 {L"b.dll", "old b"},
                                                 {L"b.dll.bak", "the user's own b.dll.bak"},
                                                 {L"c.dll", "old c, not reached"}}));
    ExpectAllClearedUp();
}

TEST_F(RecoveryTest, DeadWhileRollingBackFinishesTheRollback) {
    // a.dll is back already, the added file gone; b.dll still waits as its backup.
    WriteTextFile(App(L"a.dll"), "old a");
    WriteTextFile(App(L"b.dll.bak"), "old b");
    WriteJournal({L"stage installing", L"add " + App(L"added.dll"), L"backup " + App(L"b.dll"),
                  L"replace " + App(L"b.dll"), L"backup " + App(L"a.dll"),
                  L"replace " + App(L"a.dll"), L"stage rolling back"});

    const TJournalOutcome outcome = FinishJournal(m_journal, m_retry);

    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.stage, TJournalStage::RollingBack);
    EXPECT_EQ(outcome.restored, 1);
    EXPECT_EQ(ReadFolder(m_app), (FolderContents{{L"a.dll", "old a"}, {L"b.dll", "old b"}}));
    ExpectAllClearedUp();
}

TEST_F(RecoveryTest, DeadWhileRemovingBackupsCompletesTheUpdate) {
    // a.dll.bak is deleted already; the user's .bak set aside is deleted only now.
    WriteTextFile(App(L"a.dll"), "new a");
    WriteTextFile(App(L"b.dll"), "new b");
    WriteTextFile(App(L"b.dll.bak"), "old b");
    WriteTextFile(App(L"c.dll.bak.{1}"), "a .bak of earlier");
    SetFileAttributesW(App(L"c.dll.bak.{1}").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteTextFile(App(L"c.dll"), "new c");
    WriteJournal({L"stage installing", L"backup " + App(L"a.dll"), L"replace " + App(L"a.dll"),
                  L"backup " + App(L"b.dll"), L"replace " + App(L"b.dll"),
                  L"aside " + App(L"c.dll.bak") + L"\t" + App(L"c.dll.bak.{1}"),
                  L"add " + App(L"c.dll"), L"stage removing backups"});

    const TJournalOutcome outcome = FinishJournal(m_journal, m_retry);

    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.stage, TJournalStage::RemovingBackups);
    EXPECT_EQ(outcome.backupsDeleted, 2);
    EXPECT_EQ(ReadFolder(m_app),
              (FolderContents{{L"a.dll", "new a"}, {L"b.dll", "new b"}, {L"c.dll", "new c"}}));
    ExpectAllClearedUp();
}

// A journal is a file that anybody with the user's rights can write.
TEST_F(RecoveryTest, TouchesNothingOutsideTheJournalsOwnFolders) {
    const std::wstring elsewhere = m_folder / L"Elsewhere";
    WriteTextFile(elsewhere + L"\\x.txt", "not the application's");
    WriteTextFile(elsewhere + L"\\x.txt.bak", "not the application's either");
    WriteTextFile(m_folder / L"victim.txt", "outside");
    m_extraction = elsewhere;
    WriteJournal({L"stage installing", L"add " + elsewhere + L"\\x.txt",
                  L"replace " + elsewhere + L"\\x.txt", L"add " + App(L"..\\victim.txt"),
                  L"folder " + m_app});

    const TJournalOutcome outcome = FinishJournal(m_journal, m_retry);

    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.removed + outcome.restored, 0);
    EXPECT_EQ(ReadFolder(elsewhere),
              (FolderContents{{L"x.txt", "not the application's"},
                              {L"x.txt.bak", "not the application's either"}}));
    EXPECT_TRUE(PathExists(m_folder / L"victim.txt"));
    EXPECT_FALSE(PathExists(m_journal));
}
