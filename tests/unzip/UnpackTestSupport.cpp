#include "UnpackTestSupport.h"

#include <algorithm>
#include <fstream>

namespace fs = std::filesystem;

void UnpackToEnd(CUnzipper& unzipper, const std::wstring& archive,
                 const std::wstring& destination) {
    unzipper.SetArchivePath(archive);
    unzipper.SetDestinationFolder(destination);
    unzipper.Start();
    while (unzipper.IsBusy()) {
        Sleep(5);
    }
}

bool WaitUntilIdle(const CUnzipper& unzipper, DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (unzipper.IsBusy()) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

std::wstring FixturePath(const std::wstring& name) {
    return std::wstring(FIXTURES_FOLDER) + L"\\" + name;
}

std::vector<std::wstring> ListFixtures(const std::wstring& prefix) {
    std::vector<std::wstring> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(FIXTURES_FOLDER, error)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.starts_with(prefix) && name.ends_with(L".zip")) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::uint64_t HashFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    std::uint64_t hash = 14695981039346656037ull;
    while (file.read(block.data(), static_cast<std::streamsize>(block.size())) ||
           file.gcount() > 0) {
        for (std::streamsize i = 0; i < file.gcount(); ++i) {
            hash = (hash ^ static_cast<unsigned char>(block[i])) * 1099511628211ull;
        }
    }
    return hash;
}

std::map<std::wstring, TTreeEntry> DescribeTree(const fs::path& root) {
    std::map<std::wstring, TTreeEntry> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        TTreeEntry facts;
        facts.isFolder = entry.is_directory();
        if (!facts.isFolder) {
            facts.size = entry.file_size();
            facts.hash = HashFile(entry.path());
        }
        tree[fs::relative(entry.path(), root).wstring()] = facts;
    }
    return tree;
}

namespace {

void CollectPaths(const CFileSystemItem& item, std::set<std::wstring>& paths) {
    for (int i = 0; i < item.GetChildCount(); ++i) {
        const CFileSystemItem* child = item.GetChild(i);
        paths.insert(child->GetPath());
        CollectPaths(*child, paths);
    }
}

} // namespace

std::set<std::wstring> RecordedPaths(const CFileSystemItem& root) {
    std::set<std::wstring> paths;
    CollectPaths(root, paths);
    return paths;
}

std::vector<TRecord> ProgressRecords(const CUnzipper& unzipper) {
    std::vector<TRecord> records;
    for (const TUnpackingUpdateRequest& request : unzipper.GetProgressCopy()) {
        records.emplace_back(request.filesDone, request.fileCount, request.bytesDone,
                             request.bytesTotal);
    }
    return records;
}
