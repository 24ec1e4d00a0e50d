#include "install/FileSystemItem.h"

#include "common/FileHelpers.h"

#include <windows.h>

#include <new>

CFileSystemItem::CFileSystemItem(const std::wstring& path, bool isFile)
    : m_path(path), m_isFile(isFile) {}

// The descendants are taken over into one list and destroyed from there, each without children
// of its own left, so destruction does not recurse. Only where the list cannot grow for want
// of memory does a subtree go the recursive way.
CFileSystemItem::~CFileSystemItem() {
    std::vector<std::unique_ptr<CFileSystemItem>> pending = std::move(m_children);
    while (!pending.empty()) {
        std::unique_ptr<CFileSystemItem> item = std::move(pending.back());
        pending.pop_back();
        for (auto& child : item->m_children) {
            try {
                pending.push_back(std::move(child));
            } catch (...) {
                child.reset();
            }
        }
        item->m_children.clear();
    }
}

CFileSystemItem* CFileSystemItem::AddChild(const std::wstring& path, bool isFile) {
    try {
        m_children.push_back(std::make_unique<CFileSystemItem>(path, isFile));
    } catch (const std::bad_alloc&) {
        throw CFileSystemItemException(L"Out of memory");
    }
    return m_children.back().get();
}

CFileSystemItem* CFileSystemItem::GetChild(int index) const {
    if (index < 0 || index >= GetChildCount()) {
        return nullptr;
    }
    return m_children[index].get();
}

void CFileSystemItem::Set(const std::wstring& path, bool isFile) {
    m_path = path;
    m_isFile = isFile;
}

void CFileSystemItem::Remove() {
    std::wstring failure;
    RemoveKeepingFirstFailure(failure);
    if (!failure.empty()) {
        throw CFileSystemItemException(failure);
    }
}

void CFileSystemItem::RemoveKeepingFirstFailure(std::wstring& failure) {
    for (const auto& child : m_children) {
        child->RemoveKeepingFirstFailure(failure);
    }
    if (!PathExists(m_path)) {
        return;
    }
    const std::wstring target = ToExtendedLengthPath(m_path);
    if (!m_isFile) {
        // A folder that still holds files we did not put there stays.
        RemoveDirectoryW(target.c_str());
        return;
    }
    if (!DeleteFileW(target.c_str()) && failure.empty()) {
        failure = L"Cannot remove the '" + m_path + L"' file.";
    }
}
