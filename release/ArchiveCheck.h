#pragma once

#include "core/ByteSource.h"
#include "core/ReleaseDescription.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the updater would make of an archive. The archive is read exactly as the updater reads
// it, through the same reader core: the whole archive is opened, the top level is searched for
// an installer and for the release description, every file is read to its end through the
// entry reader, CRC and sizes checked, and the files are held against the description.
struct TArchiveReport {
    // Every reason why the updater would refuse the archive or install nothing, one line each;
    // a fault of one entry starts with the entry's path. The reader refuses a damaged
    // directory, an unsafe or duplicate name as a whole, so that is one line.
    std::vector<std::string> problems;
    std::size_t fileCount = 0; // the description counts
    // The archive's release description, when it has one that parses.
    std::optional<TReleaseDescription> description;

    bool IsInstallable() const { return problems.empty(); }
};

constexpr std::string_view NoInstallerProblem =
    "no EXE or MSI file at the top level: nothing would be installed";

TArchiveReport CheckArchive(std::unique_ptr<CByteSource> source);
