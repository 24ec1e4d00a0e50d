#pragma once

#include "core/ByteSource.h"
#include "core/ZipFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The end of central directory record that the reader takes for the archive's: the last one
// whose declared comment fits in the file. Trailing bytes after its comment are not refused here.
struct TEndRecord {
    std::uint64_t offset = 0; // of its signature in the file
    std::array<unsigned char, EndRecordSize> fields{};
    std::string comment; // as long as the record declares
};

// The one search for the end record; the signature check relies on finding the same record as
// the reader. Throws CZipException when the file holds none.
TEndRecord FindEndRecord(const CByteSource& source);

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
