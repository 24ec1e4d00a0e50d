#include "zip/core/EntrySpans.h"

#include "zip/core/LittleEndian.h"
#include "zip/core/ZipFault.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::uint32_t LocalHeaderSignature = 0x04034b50;
constexpr std::size_t LocalHeaderSize = 30;
constexpr std::uint32_t DescriptorSignature = 0x08074b50;
constexpr std::uint16_t DescriptorFlag = 1u << 3;
// Signature, CRC-32 and two sizes of 8 bytes: the longest a descriptor can be.
constexpr std::size_t LongestDescriptor = 24;

void ReadExactly(const CByteSource& source, std::uint64_t offset, void* buffer, std::size_t size) {
    if (!source.ReadAt(offset, buffer, size)) {
        throw CZipException(ZipFault::ReadFailed, "a local header cannot be read");
    }
}

// Where the entry's data starts, from its local header, which must repeat the directory's name.
std::uint64_t ReadLocalHeader(const CByteSource& source, std::uint64_t dataEnd,
                              const TEntrySpan& span, std::vector<unsigned char>& header) {
    const std::size_t size = LocalHeaderSize + span.storedName.size();
    if (span.headerOffset > dataEnd || dataEnd - span.headerOffset < size) {
        ThrowDamaged("entry data outside the file");
    }
    header.resize(size);
    ReadExactly(source, span.headerOffset, header.data(), size);
    if (LoadUInt32(header.data()) != LocalHeaderSignature) {
        ThrowDamaged("local header expected");
    }
    if (LoadUInt16(header.data() + 26) != span.storedName.size() ||
        std::memcmp(header.data() + LocalHeaderSize, span.storedName.data(),
                    span.storedName.size()) != 0) {
        ThrowDamaged("local header names another entry");
    }
    return span.headerOffset + size + LoadUInt16(header.data() + 28);
}

// A descriptor may or may not open with its signature and holds sizes of 4 or 8 bytes; the form
// whose values repeat the directory's is the one there. Where none does, the writer set the flag
// without writing a descriptor, and the entry claims nothing beyond its data.
std::uint64_t MeasureDescriptor(const CByteSource& source, std::uint64_t at, std::uint64_t dataEnd,
                                const TEntrySpan& span) {
    std::array<unsigned char, LongestDescriptor> bytes{};
    const std::size_t available =
        static_cast<std::size_t>(std::min<std::uint64_t>(dataEnd - at, bytes.size()));
    ReadExactly(source, at, bytes.data(), available);
    const std::size_t start =
        available >= 4 && LoadUInt32(bytes.data()) == DescriptorSignature ? 4 : 0;
    const unsigned char* fields = bytes.data() + start;
    if (available < start + 12 || LoadUInt32(fields) != span.crc) {
        return 0;
    }
    if (LoadUInt32(fields + 4) == span.compressedSize && LoadUInt32(fields + 8) == span.size) {
        return start + 12;
    }
    if (available >= start + 20 && LoadUInt64(fields + 4) == span.compressedSize &&
        LoadUInt64(fields + 12) == span.size) {
        return start + 20;
    }
    return 0;
}

} // namespace

void PlaceEntries(const CByteSource& source, std::uint64_t dataEnd,
                  std::vector<TEntrySpan>& spans) {
    // Entries at one offset keep the directory's order, so that the same archive is always
    // refused for the same reason.
    std::stable_sort(spans.begin(), spans.end(),
                     [](const TEntrySpan& left, const TEntrySpan& right) {
                         return left.headerOffset < right.headerOffset;
                     });
    std::vector<unsigned char> header;
    std::uint64_t claimedUpTo = 0;
    for (TEntrySpan& span : spans) {
        if (span.headerOffset < claimedUpTo) {
            ThrowDamaged("entries overlap");
        }
        span.dataOffset = ReadLocalHeader(source, dataEnd, span, header);
        if (span.dataOffset > dataEnd || dataEnd - span.dataOffset < span.compressedSize) {
            ThrowDamaged("entry data outside the file");
        }
        claimedUpTo = span.dataOffset + span.compressedSize;
        if ((span.flags & DescriptorFlag) != 0) {
            claimedUpTo += MeasureDescriptor(source, claimedUpTo, dataEnd, span);
        }
    }
}
