#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

// Files above this size, old or new, go whole: below it the suffix array's 32-bit indexes cover
// every old file, so that a diff needs the old file, four bytes per old byte and the new file,
// and a release machine can hold that for the largest file it will meet.
constexpr std::uint64_t LargestDiffedFile = std::uint64_t{1} << 30;

// Receives the patch's bytes in order, in pieces of bounded size.
using TPatchSink = std::function<void(std::string_view)>;
// Told, now and then, that the differ will read no new byte before the offset again.
using TNewBytesPassed = std::function<void(std::uint64_t offset)>;

// What a diff cost: every byte compared, step of a search and step of an extension counts one.
// The guard against bsdiff's slow inputs bounds it by a constant times n log n, whatever the files.
struct TDiffWork {
    std::uint64_t steps = 0;
    std::uint64_t records = 0;
};

// The patch that makes the new file from the old one (core/BinaryPatch's format), by bsdiff's
// matching over libdivsufsort's suffix array of the old file: approximate matches, each an
// ADD against the old bytes, extended forwards and backwards, the bytes between them COPY
// records. Its memory is the suffix array's four bytes per old byte beside the two files; a
// caller that maps the new file can let the pages behind passed go. A CToolError when either
// file is larger than LargestDiffedFile or the suffix sort fails.
TDiffWork DiffFiles(std::span<const std::uint8_t> oldFile, std::span<const std::uint8_t> newFile,
                    const TPatchSink& sink, const TNewBytesPassed& passed = nullptr);
