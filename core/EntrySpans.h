#pragma once

#include "core/ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The bytes that one central directory entry claims: its local header, name and extra field,
// its compressed data and the data descriptor that follows where the entry has one.
struct TEntrySpan {
    std::uint64_t headerOffset = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::uint16_t flags = 0;
    std::string_view storedName;  // the name's bytes in the central directory
    std::size_t item = 0;         // the archive item it describes; 0 when it names none
    std::uint64_t dataOffset = 0; // found in the local header
};

// The entry's name in a refusal.
using EntrySpanNamer = std::function<std::u16string(const TEntrySpan& span)>;

// Reads each entry's local header and refuses, as damage, an entry whose local header is not
// there or names it with other bytes, whose bytes reach the central directory (which starts at
// dataEnd), or that shares a byte with another entry: the non-recursive zip bomb lets many
// entries inflate the same data. Each refusal names the entry, the later one of two that
// overlap, through nameOf. Sets each span's data offset. Sorts the spans by offset.
void PlaceEntries(const CByteSource& source, std::uint64_t dataEnd, std::vector<TEntrySpan>& spans,
                  const EntrySpanNamer& nameOf);
