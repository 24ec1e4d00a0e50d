#pragma once

#include "zip/core/ByteSource.h"

#include <cstdint>

// Where the central directory lies and how many entries it claims, from the end records.
struct TCentralDirectory {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t entryCount = 0;
    // The plain end record counts in 16 bits, which writers let wrap past 65535 entries; only
    // the Zip64 record gives the exact count.
    bool countIsExact = false;
};

// Finds the end of central directory record behind any archive comment, and the Zip64 end
// record when a locator points to one. Throws CZipException for anything but a single-disk
// archive whose directory lies inside the file, before the end records.
TCentralDirectory LocateCentralDirectory(const CByteSource& source);
