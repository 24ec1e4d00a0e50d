#pragma once

#include "core/ReleaseDescription.h"
#include "release/SigningKey.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

struct TPackRequest {
    std::string folder; // the whole new version, as it is to be installed
    std::string output;
    TReleaseVersion version;
    // A full update made by pack: the update is then partial, made for its version.
    std::optional<std::string> previous;
    // With a previous update: every changed file whole, none as a patch.
    bool whole = false;
    const CSigningKey* key = nullptr; // signs the update when given
    std::time_t timestamp = 0;        // of every entry
};

struct TPackReport {
    // Why the output may not be written (CheckOutputTarget), found before anything is read but
    // the folder's listing; then nothing else is done.
    std::vector<std::string> outputProblems;
    // Temporary files beside the output that another run left or is making.
    std::vector<std::string> warnings;
    // Why nothing was written, one line each; empty once the output is in place.
    std::vector<std::string> problems;
    TReleaseDescription description;
    std::size_t packedFiles = 0;         // the description not counted
    std::size_t droppedFiles = 0;        // of the previous version, which installing removes
    std::size_t patchedFiles = 0;        // of the packed files, those that come as patches
    std::uintmax_t patchBytes = 0;       // the patches' own sizes
    std::uintmax_t patchedFileBytes = 0; // the sizes of the files they make
    std::uintmax_t archiveSize = 0;
};

// First lists the folder and decides whether the output may be written at all
// (CheckOutputTarget, with the previous update, the key and the folder's files as the inputs);
// then makes the update archive from the folder: every file and empty folder of it, or for a
// partial update only the files whose bytes differ from the previous version's or that are new and
// every installer at the top; the release description listing every file; the entries in the
// bytewise order of their names. In a partial update, unless the request says whole, a changed
// file of the previous version comes as a patch against that file where the patch's entry is
// smaller than the file's, and each patch is applied to the previous file and must make the new
// bytes before anything is written. The folder is checked first and the archive, under a
// temporary name, exactly as check reads it; the output path then takes it whole, or keeps
// what it had when anything is refused. The tool's own faults are CToolErrors.
TPackReport PackRelease(const TPackRequest& request);
