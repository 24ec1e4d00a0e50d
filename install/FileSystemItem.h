#pragma once

#include <memory>
#include <string>
#include <vector>

class CFileSystemItemException {
public:
    explicit CFileSystemItemException(const std::wstring& message) : m_message(message) {}
    virtual ~CFileSystemItemException() = default;

    const std::wstring& GetText() const { return m_message; }

private:
    std::wstring m_message;
};

// A record of a file or folder that the updater put on disk, owning the records below it, so
// that the whole tree can be walked again to install, roll back or remove it.
class CFileSystemItem {
public:
    CFileSystemItem(const std::wstring& path, bool isFile);
    CFileSystemItem(const CFileSystemItem&) = delete;
    CFileSystemItem& operator=(const CFileSystemItem&) = delete;
    // Safe for a tree of any depth: no level waits on the stack for the one below.
    virtual ~CFileSystemItem();

    CFileSystemItem* AddChild(const std::wstring& path, bool isFile);
    int GetChildCount() const { return static_cast<int>(m_children.size()); }
    // Null for an index outside the children.
    CFileSystemItem* GetChild(int index) const;
    const std::wstring& GetPath() const { return m_path; }
    bool IsFile() const { return m_isFile; }
    void Set(const std::wstring& path, bool isFile);

    // Deletes the recorded files and the folders that are empty then, children first. Paths
    // that are gone already are passed over. A file that exists and cannot be deleted is passed
    // over too, so that everything else still goes; the first of them is reported at the end
    // with "Cannot remove the '<path>' file.".
    void Remove();

private:
    // The message for the first file that could not be deleted stays in failure.
    void RemoveKeepingFirstFailure(std::wstring& failure);

    std::wstring m_path;
    bool m_isFile;
    std::vector<std::unique_ptr<CFileSystemItem>> m_children;
};
