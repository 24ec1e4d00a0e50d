#pragma once

#include "release/OutputTarget.h"

#include <optional>
#include <string>
#include <vector>

// One file or empty folder of a release folder, under the name the updater will see.
struct TReleaseItem {
    // The path below the folder in UTF-8, '/' between components, a folder's ending in '/': the
    // entry's name in the archive, the same as screened by the updater.
    std::string name;
    std::u16string path; // the same, as the reader core holds it
    std::string diskPath;
    bool isFolder = false;
    TFileIdentity identity; // of the file, so that nothing the run writes can be one of them
};

struct TReleaseFolder {
    // Files and empty folders, bytewise in the order of their names.
    std::vector<TReleaseItem> items;
    // Everything the updater would refuse or that no archive can carry, one line each, the
    // item's path first: a name the updater refuses (and why) or that is not UTF-8, names that
    // are one without case, a symbolic link or other special file, a file or folder that cannot
    // be read, a description of its own at the top (pack writes that), and no installer at the
    // top.
    std::vector<std::string> problems;
};

// The names in the folder, bytewise in order, so that the faults come in the same order on
// every machine; nothing, with errno set, when it cannot be listed.
std::optional<std::vector<std::string>> ListFolder(const std::string& path);

// Reads the whole folder. Only a folder itself that cannot be listed is a CToolError.
TReleaseFolder ScanReleaseFolder(const std::string& folder);
