#include "core/EntrySpans.h"

#include "core/LittleEndian.h"
#include "core/ZipFault.h"
#include "core/ZipFormat.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint64_t WindowSize = 64 * 1024;

// The bytes of the headers, which are asked for in file order. Small files put many headers
// close together, and one read of the source then serves them all instead of a call each.
class CHeaderWindow {
public:
    explicit CHeaderWindow(const CByteSource& source) : m_source(source) {}
    CHeaderWindow(const CHeaderWindow&) = delete;
    CHeaderWindow& operator=(const CHeaderWindow&) = delete;
    virtual ~CHeaderWindow() = default;

    bool Holds(std::uint64_t offset, std::size_t size) const {
        return offset >= m_offset && offset - m_offset <= m_bytes.size() &&
               m_bytes.size() - (offset - m_offset) >= size;
    }
    // [offset, end) of the source, which lies in the file.
    void Fill(std::uint64_t offset, std::uint64_t end) {
        m_bytes.resize(static_cast<std::size_t>(end - offset));
        m_offset = offset;
        if (!m_source.ReadAt(offset, m_bytes.data(), m_bytes.size())) {
            throw CZipException(ZipFault::ReadFailed, "a local header cannot be read");
        }
    }
    const unsigned char* At(std::uint64_t offset) const {
        return m_bytes.data() + (offset - m_offset);
    }

private:
    const CByteSource& m_source;
    std::vector<unsigned char> m_bytes;
    std::uint64_t m_offset = 0;
};

std::size_t HeaderSize(const TEntrySpan& span) {
    return LocalHeaderSize + span.storedName.size();
}

// Where a read for the header of spans[index] ends: past it and every later header that lies
// within WindowSize of it. A later header may end before an earlier one with a longer name (the
// two overlap, which is refused only once the first is read).
std::uint64_t WindowEnd(const std::vector<TEntrySpan>& spans, std::size_t index,
                        std::uint64_t dataEnd) {
    const std::uint64_t limit = std::min(dataEnd, spans[index].headerOffset + WindowSize);
    std::uint64_t end = spans[index].headerOffset + HeaderSize(spans[index]);
    for (std::size_t next = index + 1; next < spans.size() && spans[next].headerOffset <= limit &&
                                       limit - spans[next].headerOffset >= HeaderSize(spans[next]);
         ++next) {
        end = std::max(end, spans[next].headerOffset + HeaderSize(spans[next]));
    }
    return end;
}

// Where the entry's data starts, from its local header, which must repeat the directory's name.
std::uint64_t ReadDataOffset(const unsigned char* header, const TEntrySpan& span) {
    if (LoadUInt32(header) != LocalHeaderSignature) {
        ThrowDamaged("local header expected");
    }
    if (LoadUInt16(header + 26) != span.storedName.size() ||
        std::memcmp(header + LocalHeaderSize, span.storedName.data(), span.storedName.size()) !=
            0) {
        ThrowDamaged("local header names another entry");
    }
    return span.headerOffset + HeaderSize(span) + LoadUInt16(header + 28);
}

// A descriptor may or may not open with its signature and holds sizes of 4 or 8 bytes; the form
// whose values repeat the directory's is the one there. Where none does, the writer set the flag
// without writing a descriptor, and the entry claims nothing beyond its data.
std::uint64_t MeasureDescriptor(const unsigned char* bytes, std::size_t available,
                                const TEntrySpan& span) {
    const std::size_t start =
        available >= 4 && LoadUInt32(bytes) == DataDescriptorSignature ? 4 : 0;
    const unsigned char* fields = bytes + start;
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

// Places spans[index], which starts at or after claimedUpTo, the end of the bytes claimed before
// it; where the bytes that it claims end.
std::uint64_t PlaceEntry(CHeaderWindow& window, std::vector<TEntrySpan>& spans, std::size_t index,
                         std::uint64_t dataEnd, std::uint64_t claimedUpTo) {
    TEntrySpan& span = spans[index];
    if (span.headerOffset < claimedUpTo) {
        ThrowDamaged("entries overlap");
    }
    if (span.headerOffset > dataEnd || dataEnd - span.headerOffset < HeaderSize(span)) {
        ThrowDamaged("entry data outside the file");
    }
    if (!window.Holds(span.headerOffset, HeaderSize(span))) {
        window.Fill(span.headerOffset, WindowEnd(spans, index, dataEnd));
    }
    span.dataOffset = ReadDataOffset(window.At(span.headerOffset), span);
    if (span.dataOffset > dataEnd || dataEnd - span.dataOffset < span.compressedSize) {
        ThrowDamaged("entry data outside the file");
    }
    std::uint64_t claimed = span.dataOffset + span.compressedSize;
    if ((span.flags & DataDescriptorFlag) != 0 && claimed < dataEnd) {
        const std::size_t available = static_cast<std::size_t>(
            std::min<std::uint64_t>(dataEnd - claimed, LongestDataDescriptor));
        if (!window.Holds(claimed, available)) {
            window.Fill(claimed, claimed + available);
        }
        claimed += MeasureDescriptor(window.At(claimed), available, span);
    }
    return claimed;
}

} // namespace

void PlaceEntries(const CByteSource& source, std::uint64_t dataEnd, std::vector<TEntrySpan>& spans,
                  const EntrySpanNamer& nameOf) {
    // Entries at one offset keep the directory's order, so that the same archive is always
    // refused for the same reason.
    std::stable_sort(spans.begin(), spans.end(),
                     [](const TEntrySpan& left, const TEntrySpan& right) {
                         return left.headerOffset < right.headerOffset;
                     });
    CHeaderWindow window(source);
    std::uint64_t claimedUpTo = 0;
    for (std::size_t index = 0; index < spans.size(); ++index) {
        TEntrySpan& span = spans[index];
        NamingEntry([&] { return nameOf(span); },
                    [&] { claimedUpTo = PlaceEntry(window, spans, index, dataEnd, claimedUpTo); });
    }
}
