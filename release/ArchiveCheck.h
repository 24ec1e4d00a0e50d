#pragma once

#include "zip/core/ByteSource.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// What the updater would make of an archive. The archive is read exactly as the updater reads
// it, through the same reader core: the whole archive is opened, the top level is searched for
// an installer, and every file is read to its end through the entry reader, CRC and sizes
// checked.
struct TArchiveReport {
    // Every reason why the updater would refuse the archive or install nothing, one line each;
    // a fault of one entry starts with the entry's path. The reader refuses a damaged
    // directory, an unsafe or duplicate name as a whole, so that is one line.
    std::vector<std::string> problems;
    std::size_t fileCount = 0;

    bool IsInstallable() const { return problems.empty(); }
};

TArchiveReport CheckArchive(std::unique_ptr<CByteSource> source);
