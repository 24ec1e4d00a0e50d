#pragma once

#include <filesystem>
#include <map>
#include <string>

// A fresh folder under the temporary directory, deleted with everything in it at the end.
class TempFolder {
public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();

    const std::filesystem::path& Path() const { return m_path; }
    // The Windows path of an entry below the folder.
    std::wstring operator/(const std::wstring& relative) const;

private:
    std::filesystem::path m_path;
};

void WriteTextFile(const std::wstring& path, const std::string& content);
std::string ReadTextFile(const std::wstring& path);

// Everything below a folder by its relative path: each file with its content, each folder with
// a trailing separator and no content. Two folders compare equal only when they hold the same.
using FolderContents = std::map<std::wstring, std::string>;
FolderContents ReadFolder(const std::wstring& folder);
