#include "install/FileSystemItem.h"

#include "common/FileHelpers.h"
#include "common/TextHelpers.h"

#include <windows.h>

#include <new>

CFileSystemItem::CFileSystemItem(const std::wstring& path, bool isFile)
    : m_path(path), m_isFile(isFile) {}

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
    for (const auto& child : m_children) {
        child->Remove();
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
    if (!DeleteFileW(target.c_str())) {
        wchar_t message[1024] = {};
        FormatString(message, L"Cannot remove the '%ls' file.", m_path.c_str());
        throw CFileSystemItemException(message);
    }
}
