#include "TempFolder.h"

#include "common/FileHelpers.h"
#include "common/Guid.h"

#include <fstream>
#include <sstream>

TempFolder::TempFolder() {
    std::wstring name;
    CreateGuidString(name);
    m_path = std::filesystem::temp_directory_path() / (L"orvtest" + name);
    std::filesystem::create_directories(m_path);
}

// The long-path tests leave paths beyond MAX_PATH, which std::filesystem does not reach here.
TempFolder::~TempFolder() {
    RemoveFolderTree(m_path.wstring());
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

FolderContents ReadFolder(const std::wstring& folder) {
    FolderContents contents;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::wstring relative = entry.path().lexically_relative(folder).wstring();
        if (entry.is_directory()) {
            contents[relative + L"\\"] = "";
        } else {
            contents[relative] = ReadTextFile(entry.path().wstring());
        }
    }
    return contents;
}
