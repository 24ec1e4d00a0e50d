#include "Manifest.h"

#include "HelperSupport.h"
#include "common/Errors.h"

#include <unordered_set>
#include <utility>

namespace {

[[noreturn]] void ThrowManifestError(const std::wstring& path, const wchar_t* reason) {
    throw COrvException(L"Manifest " + path + L": " + reason, 0);
}

// Digits only: a sign, blanks or an overflow would let a damaged manifest pass as a size.
bool ParseSize(const std::wstring& text, std::uint64_t& size) {
    size = 0;
    for (const wchar_t digit : text) {
        if (digit < L'0' || digit > L'9' || size > (UINT64_MAX - 9) / 10) {
            return false;
        }
        size = size * 10 + static_cast<std::uint64_t>(digit - L'0');
    }
    return !text.empty();
}

} // namespace

std::vector<TManifestEntry> ReadManifest(const std::wstring& path) {
    std::wstring text;
    if (!ReadTextFile(path, text)) {
        ThrowManifestError(path, L"cannot be read");
    }
    std::vector<TManifestEntry> entries;
    for (const std::wstring& line : SplitLines(text)) {
        if (line.empty()) {
            continue;
        }
        const std::size_t tab = line.find(L'\t');
        TManifestEntry entry;
        if (tab == std::wstring::npos || !ParseSize(line.substr(0, tab), entry.size) ||
            tab + 1 == line.size()) {
            ThrowManifestError(path, L"holds a line that is not \"<size>\\t<path>\"");
        }
        entry.path = line.substr(tab + 1);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::wstring> ListFolders(const std::vector<TManifestEntry>& entries) {
    std::vector<std::wstring> folders;
    std::unordered_set<std::wstring> seen;
    for (const TManifestEntry& entry : entries) {
        for (std::size_t slash = entry.path.find(L'\\'); slash != std::wstring::npos;
             slash = entry.path.find(L'\\', slash + 1)) {
            std::wstring folder = entry.path.substr(0, slash);
            if (seen.insert(folder).second) {
                folders.push_back(std::move(folder));
            }
        }
    }
    return folders;
}
