#include "install/InstallTree.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

using Contents = std::map<std::wstring, std::string>;

// Every file below the folder by its relative path, with its content.
Contents ReadFolder(const std::wstring& folder) {
    Contents contents;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            contents[entry.path().lexically_relative(folder).wstring()] =
                ReadTextFile(entry.path().wstring());
        }
    }
    return contents;
}

// The backup tree in one line: files as their path, folders as their path and their children.
std::wstring Describe(const CFileSystemItem& item) {
    std::wstring text = item.GetPath();
    if (!item.IsFile()) {
        text += L"[";
        for (int i = 0; i < item.GetChildCount(); ++i) {
            text += (i > 0 ? L" " : L"") + Describe(*item.GetChild(i));
        }
        text += L"]";
    }
    return text;
}

} // namespace

// An extraction folder with its item tree, as the unpacker leaves it, and an application folder.
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
    std::wstring Install(const std::wstring& destination) { return Install(m_source, destination); }
    std::wstring Install(const CFileSystemItem& source, const std::wstring& destination) {
        m_backup.Set(destination, false);
        try {
            InstallTree(source, destination, m_backup);
        } catch (const COrvException& failure) {
            EXPECT_EQ(failure.GetCode(), 0);
            return failure.GetText();
        }
        return L"";
    }

    TempFolder m_folder;
    std::wstring m_app = m_folder / L"App";
    CFileSystemItem m_source{m_folder / L"{extracted}", false};
    CFileSystemItem m_backup{L"", false};
};

TEST_F(InstallTreeTest, BacksUpOnlyReplacedFilesKeepingOneGeneration) {
    WriteTextFile(m_app + L"\\a.dll", "old a");
    WriteTextFile(m_app + L"\\a.dll.bak", "stale a");
    // Left by an earlier run for a file that is gone since.
    WriteTextFile(m_app + L"\\b.dll.bak", "stale b");
    WriteTextFile(m_app + L"\\other.txt", "kept");
    AddFile(m_source, L"a.dll", "new a");
    AddFile(m_source, L"b.dll", "new b");

    EXPECT_EQ(Install(m_app), L"");

    EXPECT_EQ(ReadFolder(m_app), (Contents{{L"a.dll", "new a"},
                                           {L"a.dll.bak", "old a"},
                                           {L"b.dll", "new b"},
                                           {L"other.txt", "kept"}}));
    EXPECT_EQ(Describe(m_backup), m_app + L"[" + m_app + L"\\a.dll.bak]");
    EXPECT_TRUE(ReadFolder(m_source.GetPath()).empty()) << "files were copied, not moved";
}

// The destination is given with a trailing separator here and without one elsewhere.
TEST_F(InstallTreeTest, ReusesFoldersAndRecordsOneNodePerArchiveFolder) {
    CFileSystemItem* sub = AddFolder(m_source, L"sub");
    AddFile(*sub, L"x.txt", "new x");
    AddFile(*AddFolder(*sub, L"deep"), L"y.txt", "new y");
    WriteTextFile(m_app + L"\\sub\\x.txt", "old x");
    WriteTextFile(m_app + L"\\sub\\foreign.txt", "kept");

    EXPECT_EQ(Install(m_app + L"\\"), L"");

    // A folder's node carries the directory that holds the folder, which removal then leaves.
    EXPECT_EQ(Describe(m_backup), m_app + L"\\[" + m_app + L"\\[" + m_app + L"\\sub\\x.txt.bak " +
                                      m_app + L"\\sub\\[]]]");
    RemoveBackups(m_backup);
    EXPECT_EQ(ReadFolder(m_app), (Contents{{L"sub\\deep\\y.txt", "new y"},
                                           {L"sub\\foreign.txt", "kept"},
                                           {L"sub\\x.txt", "new x"}}));
}

TEST_F(InstallTreeTest, RemoveBackupsDeletesWhatItCanAndPassesOverTheRest) {
    for (const std::wstring name : {L"a.dll", L"b.dll", L"c.dll"}) {
        WriteTextFile(m_app + L"\\" + name, "old");
        AddFile(m_source, name, "new");
    }
    SetFileAttributesW((m_app + L"\\a.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(Install(m_app), L"");
    // Another process still has the old b.dll loaded.
    const CFileHandle held(CreateFileW((m_app + L"\\b.dll.bak").c_str(), GENERIC_READ,
                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));

    RemoveBackups(m_backup);

    EXPECT_EQ(
        ReadFolder(m_app),
        (Contents{{L"a.dll", "new"}, {L"b.dll", "new"}, {L"b.dll.bak", "old"}, {L"c.dll", "new"}}));
}

TEST_F(InstallTreeTest, RollbackGivesEveryReplacedFileItsOldContent) {
    AddFile(m_source, L"added.dll", "new added");
    Contents before{{L"added.dll", "new added"}};
    for (const std::wstring name : {L"1.dll", L"2.dll", L"3.dll", L"4.dll", L"5.dll"}) {
        before[name] = "old " + std::string(name.begin(), name.end());
        WriteTextFile(m_app + L"\\" + name, before[name]);
        AddFile(m_source, name, "new");
    }
    fs::remove(m_source.GetChild(3)->GetPath());

    EXPECT_EQ(Install(m_app), L"Can not move file: " + m_app + L"\\3.dll");
    EXPECT_EQ(ReadFolder(m_app), (Contents{{L"added.dll", "new added"},
                                           {L"1.dll", "new"},
                                           {L"1.dll.bak", "old 1.dll"},
                                           {L"2.dll", "new"},
                                           {L"2.dll.bak", "old 2.dll"},
                                           {L"3.dll.bak", "old 3.dll"},
                                           {L"4.dll", "old 4.dll"},
                                           {L"5.dll", "old 5.dll"}}));
    RollbackTree(m_backup);
    EXPECT_EQ(ReadFolder(m_app), before);
    RollbackTree(CFileSystemItem(m_app, false));
    EXPECT_EQ(ReadFolder(m_app), before);
}

TEST_F(InstallTreeTest, RollbackPutsABackupOfABackupBackFirst) {
    // An update that carries both a.dll and a.dll.bak.
    WriteTextFile(m_app + L"\\a.dll", "old a");
    AddFile(m_source, L"a.dll", "new a");
    AddFile(m_source, L"a.dll.bak", "new a.bak");
    m_source.AddChild(m_source.GetPath() + L"\\vanished.dll", true);

    EXPECT_EQ(Install(m_app), L"Can not move file: " + m_app + L"\\vanished.dll");
    RollbackTree(m_backup);
    EXPECT_EQ(ReadFolder(m_app), (Contents{{L"a.dll", "old a"}}));
}

TEST_F(InstallTreeTest, EachFailureNamesItsOperationAndPath) {
    const std::wstring target = m_app + L"\\a.dll";
    WriteTextFile(target, "old a");
    AddFile(m_source, L"a.dll", "new a");

    WriteTextFile(target + L".bak\\inside.txt", "a folder cannot be deleted as a file");
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
    RollbackTree(m_backup);
    EXPECT_EQ(ReadFolder(m_app), (Contents{{L"a.dll", "old a"}}));

    CFileSystemItem folderOnly(m_source.GetPath(), false);
    AddFolder(folderOnly, L"sub");
    const std::wstring nowhere = m_folder / L"missing\\App";
    EXPECT_EQ(Install(folderOnly, nowhere), L"Can not create directory: " + nowhere + L"\\sub");
}

TEST_F(InstallTreeTest, WorksBeyondMaxPathAndCutsOnlyTheMessage) {
    const std::wstring deep = L"\\a-folder-name-of-some-length-for-paths-beyond-max-path";
    m_app += deep + deep + deep + deep + deep;
    m_source.Set(m_source.GetPath() + deep + deep + deep + deep + deep, false);
    fs::create_directories(m_source.GetPath());
    CFileSystemItem* sub = AddFolder(m_source, L"sub");
    AddFile(*sub, L"x.txt", "new x");
    sub->AddChild(sub->GetPath() + L"\\vanished.txt", true);
    const std::wstring target = m_app + L"\\sub\\x.txt";
    WriteTextFile(target, "old x");

    EXPECT_EQ(Install(m_app),
              (L"Can not move file: " + m_app + L"\\sub\\vanished.txt").substr(0, 259));
    EXPECT_EQ(ReadTextFile(target), "new x");
    EXPECT_EQ(ReadTextFile(target + L".bak"), "old x");
    RollbackTree(m_backup);
    EXPECT_EQ(ReadTextFile(target), "old x");
    EXPECT_FALSE(PathExists(target + L".bak"));
}
