#pragma once

#include "install/FileSystemItem.h"
#include "unzip/Unzipper.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

// Starts the unpacker on the archive and waits until its worker has ended.
void UnpackToEnd(CUnzipper& unzipper, const std::wstring& archive, const std::wstring& destination);

// False when the unpacker is still busy after the given time.
bool WaitUntilIdle(const CUnzipper& unzipper, DWORD milliseconds);

std::wstring FixturePath(const std::wstring& name);

// The fixture archives whose names start with the prefix, in name order.
std::vector<std::wstring> ListFixtures(const std::wstring& prefix);

struct TTreeEntry {
    bool isFolder = false;
    std::uintmax_t size = 0;
    std::uint64_t hash = 0;

    bool operator==(const TTreeEntry&) const = default;
};

// Every folder and file below the root by its relative path, files with size and content hash.
std::map<std::wstring, TTreeEntry> DescribeTree(const std::filesystem::path& root);
std::uint64_t HashFile(const std::filesystem::path& path);

// The paths of every item below the root item (not the root itself).
std::set<std::wstring> RecordedPaths(const CFileSystemItem& root);

using TRecord = std::tuple<int, int, std::uint64_t, std::uint64_t>;
std::vector<TRecord> ProgressRecords(const CUnzipper& unzipper);
