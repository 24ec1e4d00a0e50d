#include "install/FileSystemItem.h"

#include "common/FileHelpers.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

// Far deeper than any archive may nest, as a tree built by hand can be.
TEST(FileSystemItem, DestroysATreeOfAnyDepth) {
    auto root = std::make_unique<CFileSystemItem>(L"", false);
    CFileSystemItem* parent = root.get();
    for (int level = 0; level < 1000000; ++level) {
        parent = parent->AddChild(L"d", false);
    }
    root.reset();
}

TEST(FileSystemItem, KeepsChildrenInOrderAndAcrossSet) {
    CFileSystemItem root(L"", false);
    EXPECT_EQ(root.GetChildCount(), 0);
    EXPECT_EQ(root.GetChild(0), nullptr);

    CFileSystemItem* folder = root.AddChild(L"C:\\x\\sub", false);
    CFileSystemItem* file = root.AddChild(L"C:\\x\\a.txt", true);
    for (int i = 0; i < 1000; ++i) {
        folder->AddChild(L"C:\\x\\sub\\" + std::to_wstring(i), true);
    }
    root.Set(L"C:\\x", false);

    EXPECT_EQ(root.GetPath(), L"C:\\x");
    ASSERT_EQ(root.GetChildCount(), 2);
    EXPECT_EQ(root.GetChild(0), folder);
    EXPECT_EQ(root.GetChild(1), file);
    EXPECT_EQ(root.GetChild(2), nullptr);
    EXPECT_FALSE(folder->IsFile());
    EXPECT_TRUE(file->IsFile());
    EXPECT_EQ(folder->GetChild(999)->GetPath(), L"C:\\x\\sub\\999");
}

class FileSystemItemRemove : public ::testing::Test {
protected:
    // The tree of an extraction: root\a.txt, root\sub\b.txt, root\sub\c.txt.
    void BuildTree() {
        m_root.Set(m_folder.Path().wstring(), false);
        WriteTextFile(m_folder / L"a.txt", "a");
        WriteTextFile(m_folder / L"sub\\b.txt", "b");
        WriteTextFile(m_folder / L"sub\\c.txt", "c");
        m_root.AddChild(m_folder / L"a.txt", true);
        CFileSystemItem* sub = m_root.AddChild(m_folder / L"sub", false);
        sub->AddChild(m_folder / L"sub\\b.txt", true);
        sub->AddChild(m_folder / L"sub\\c.txt", true);
    }

    TempFolder m_folder;
    CFileSystemItem m_root{L"", false};
};

TEST_F(FileSystemItemRemove, RemovesEverythingRecordedChildrenFirst) {
    BuildTree();
    m_root.Remove();
    EXPECT_FALSE(fs::exists(m_folder.Path()));
}

TEST_F(FileSystemItemRemove, PassesOverFilesThatAreGoneAlready) {
    BuildTree();
    fs::rename(m_folder.Path() / L"sub" / L"b.txt", m_folder.Path() / L"moved.txt");
    fs::remove(m_folder.Path() / L"a.txt");
    fs::remove(m_folder.Path() / L"moved.txt");
    EXPECT_NO_THROW(m_root.Remove());
    EXPECT_FALSE(fs::exists(m_folder.Path()));
}

TEST_F(FileSystemItemRemove, LeavesFoldersWithForeignFilesQuietly) {
    BuildTree();
    WriteTextFile(m_folder / L"sub\\foreign.txt", "not ours");
    EXPECT_NO_THROW(m_root.Remove());
    EXPECT_TRUE(fs::exists(m_folder.Path() / L"sub" / L"foreign.txt"));
    EXPECT_FALSE(fs::exists(m_folder.Path() / L"sub" / L"b.txt"));
    EXPECT_FALSE(fs::exists(m_folder.Path() / L"a.txt"));
}

TEST_F(FileSystemItemRemove, EmptyPathRemovesOnlyTheChildren) {
    WriteTextFile(m_folder / L"a.txt", "a");
    m_root.AddChild(m_folder / L"a.txt", true);
    m_root.Remove();
    EXPECT_FALSE(fs::exists(m_folder.Path() / L"a.txt"));
    EXPECT_TRUE(fs::exists(m_folder.Path()));
}

TEST_F(FileSystemItemRemove, AFileHeldOpenIsReportedAfterEverythingElseWent) {
    BuildTree();
    const std::wstring held = m_folder / L"sub\\b.txt";
    const CFileHandle lock(
        CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock.IsValid());
    try {
        m_root.Remove();
        FAIL() << "the held file was not reported";
    } catch (CFileSystemItemException& e) {
        EXPECT_EQ(e.GetText(), L"Cannot remove the '" + held + L"' file.");
    }
    EXPECT_FALSE(fs::exists(m_folder.Path() / L"a.txt"));
    EXPECT_FALSE(fs::exists(m_folder.Path() / L"sub" / L"c.txt")) << "a later sibling was kept";
    EXPECT_TRUE(fs::exists(held));
}

TEST_F(FileSystemItemRemove, RemovesBeyondMaxPathAndNeverCutsTheMessage) {
    std::wstring deep = m_folder.Path().wstring();
    CFileSystemItem* parent = &m_root;
    m_root.Set(deep, false);
    while (deep.size() < 1100) {
        deep += L"\\a-folder-name-of-some-length";
        ASSERT_TRUE(CreateDirectoryW(ToExtendedLengthPath(deep).c_str(), nullptr));
        parent = parent->AddChild(deep, false);
    }
    const std::wstring file = deep + L"\\file.txt";
    const CFileHandle lock(CreateFileW(ToExtendedLengthPath(file).c_str(), GENERIC_WRITE, 0,
                                       nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(lock.IsValid());
    parent->AddChild(file, true);
    try {
        m_root.Remove();
        FAIL() << "the held file did not stop the removal";
    } catch (CFileSystemItemException& e) {
        EXPECT_EQ(e.GetText(), L"Cannot remove the '" + file + L"' file.");
    }
    const_cast<CFileHandle&>(lock).Reset();
    m_root.Remove();
    EXPECT_FALSE(PathExists(m_folder.Path().wstring()));
}
