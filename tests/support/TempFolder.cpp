#include "TempFolder.h"

#include "common/Guid.h"

#include <fstream>
#include <sstream>
#include <system_error>

TempFolder::TempFolder() {
    std::wstring name;
    CreateGuidString(name);
    m_path = std::filesystem::temp_directory_path() / (L"orvtest" + name);
    std::filesystem::create_directories(m_path);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
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
