#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One file of a benchmark archive: its path below the archive's root, with '\' as separator,
// and its size in bytes.
struct TManifestEntry {
    std::wstring path;
    std::uint64_t size = 0;
};

// Reads a manifest of UTF-8 lines "<size>\t<path>", in archive order. Throws COrvException
// when the file cannot be read or a line is not of that form.
std::vector<TManifestEntry> ReadManifest(const std::wstring& path);

// Every folder that holds a manifest file, parents before their children, each once.
std::vector<std::wstring> ListFolders(const std::vector<TManifestEntry>& entries);
