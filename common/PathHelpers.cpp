#include "common/PathHelpers.h"

#include "common/TextHelpers.h"

void GetDirectoryPart(const std::wstring& path, std::wstring& out) {
    std::wstring work = path;
    ForEachChar(work.data(), static_cast<int>(work.size()), SlashToBackslash);
    const std::size_t separator = work.rfind(L'\\');
    if (separator != std::wstring::npos) {
        out = work.substr(0, separator);
    }
}

std::wstring AppendToDirectory(const std::wstring& directory, const std::wstring& name) {
    std::wstring path = directory;
    if (path.size() > 1 && path.back() != L'\\') {
        path += L'\\';
    }
    return path + name;
}
