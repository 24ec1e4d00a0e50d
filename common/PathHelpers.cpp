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

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\') {
        return folder + name;
    }
    return folder + L'\\' + name;
}
