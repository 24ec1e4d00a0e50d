#pragma once

#include "core/ByteSource.h"
#include "core/ReleaseDescription.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A file that the archive holds as a patch against the base version's file.
struct TPatchedFile {
    std::string name;
    std::uint64_t patchSize = 0; // the entry's bytes, inflated
    std::uint64_t fileSize = 0;  // the file the patch makes
};

// What the updater would make of an archive. The archive is read exactly as the updater reads
// it, through the same reader core: the whole archive is opened, the top level is searched for
// an installer and for the release description, every file is read to its end through the
// entry reader, CRC and sizes checked, and the files are held against the description. A patch
// is parsed to its end as the updater's applier parses it: its header, every record's lengths
// and seeks against the old and new sizes, and that it makes exactly the description's SIZE.
// Without the base version's file nothing tells whether that file has the SHA-256 FROM and the
// header's old size, nor whether the bytes made have TO: the updater checks those against the
// installed file.
struct TArchiveReport {
    // Every reason why the updater would refuse the archive or install nothing, one line each;
    // a fault of one entry starts with the entry's path. The reader refuses a damaged
    // directory, an unsafe or duplicate name as a whole, so that is one line.
    std::vector<std::string> problems;
    std::size_t fileCount = 0; // the description counts
    // The archive's release description, when it has one that parses.
    std::optional<TReleaseDescription> description;
    // In the order the archive holds them.
    std::vector<TPatchedFile> patches;

    bool IsInstallable() const { return problems.empty(); }
};

constexpr std::string_view NoInstallerProblem =
    "no EXE or MSI file at the top level: nothing would be installed";

TArchiveReport CheckArchive(std::unique_ptr<CByteSource> source);

// Only what CheckArchive finds before it reads the files: the archive as a whole, the installer
// at the top and the description, in the time it takes to read the archive's directory. No file
// is read, nor held against the description; fileCount stays 0.
TArchiveReport ReadArchiveDescription(std::unique_ptr<CByteSource> source);
