#include "TempFolder.h"

#include "common/Guid.h"
#include "common/Handle.h"

#include <fstream>
#include <sstream>

namespace {

// The long-path tests leave paths beyond MAX_PATH, which std::filesystem does not reach here;
// the Win32 calls do in their extended form. Read-only files go too.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    const CFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    for (bool more = search.IsValid(); more; more = FindNextFileW(search.Get(), &found) != FALSE) {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring path = folder + L"\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            RemoveTree(path);
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

TempFolder::TempFolder() {
    std::wstring name;
    CreateGuidString(name);
    m_path = std::filesystem::temp_directory_path() / (L"orvtest" + name);
    std::filesystem::create_directories(m_path);
}

TempFolder::~TempFolder() {
    RemoveTree(L"\\\\?\\" + m_path.wstring());
}

std::wstring TempFolder::operator/(const std::wstring& relative) const {
    return (m_path / relative).make_preferred().wstring();
}

void WriteTextFile(const std::wstring& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(std::filesystem::path(path), std::ios::binary) << content;
}

std::string ReadTextFile(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}
