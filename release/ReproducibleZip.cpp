#include "release/ReproducibleZip.h"

#include "core/ZipFormat.h"
#include "release/FileDescriptor.h"
#include "release/ToolError.h"

#include <unistd.h>

#include <algorithm>

namespace {

// Made on Unix (3) by a writer of zip 4.5, which knows Zip64; the attributes are Unix modes.
constexpr std::uint16_t MadeBy = (3 << 8) | 45;
constexpr std::uint16_t NeedsDeflate = 20;
constexpr std::uint16_t NeedsZip64 = 45;
constexpr std::uint32_t FileAttributes = 0100644u << 16;
constexpr std::uint32_t FolderAttributes = (040755u << 16) | 0x10; // and the DOS folder bit
// zlib's strongest level with its default memory and strategy: its output depends on nothing
// but these and zlib's version.
constexpr int DeflateLevel = 9;
constexpr int RawDeflateWindow = -15;
constexpr int DeflateMemory = 8;
constexpr std::size_t PieceSize = 1 << 20;
// 2107-12-31 23:59:58 UTC, the latest moment that DOS time holds.
constexpr std::time_t LatestTimestamp = 4354819198;

void Put16(std::string& out, std::uint64_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint64_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, (value >> 16) & 0xFFFF);
}

void Put64(std::string& out, std::uint64_t value) {
    Put32(out, value & 0xFFFFFFFF);
    Put32(out, value >> 32);
}

std::uint64_t Saturate(std::uint64_t value, std::uint64_t limit) {
    return std::min(value, limit);
}

bool IsAscii(std::string_view name) {
    return std::all_of(name.begin(), name.end(),
                       [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
}

std::uint16_t GetFlags(std::string_view name) {
    return IsAscii(name) ? 0 : Utf8NameFlag;
}

} // namespace

CReproducibleZip::CDeflater::CDeflater() {
    if (deflateInit2(&m_stream, DeflateLevel, Z_DEFLATED, RawDeflateWindow, DeflateMemory,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        throw CToolError("zlib cannot start a deflate stream");
    }
}

CReproducibleZip::CDeflater::~CDeflater() {
    deflateEnd(&m_stream);
}

CReproducibleZip::CReproducibleZip(int descriptor, const std::string& path, std::time_t timestamp)
    : m_descriptor(descriptor), m_path(path), m_input(PieceSize), m_output(PieceSize) {
    const std::time_t moment = std::clamp(timestamp, EarliestTimestamp, LatestTimestamp);
    std::tm utc{};
    gmtime_r(&moment, &utc);
    m_dosTime =
        static_cast<std::uint16_t>((utc.tm_hour << 11) | (utc.tm_min << 5) | (utc.tm_sec / 2));
    m_dosDate = static_cast<std::uint16_t>(((utc.tm_year + 1900 - 1980) << 9) |
                                           ((utc.tm_mon + 1) << 5) | utc.tm_mday);
}

void CReproducibleZip::AddFolder(std::string_view name) {
    TEntry& entry = m_entries.emplace_back();
    entry.name = name;
    entry.isFolder = true;
    entry.headerOffset = m_flushed + m_pending.size();
    const std::string header = FormatLocalHeader(entry);
    Append(header.data(), header.size());
}

void CReproducibleZip::AddFile(std::string_view name, const CByteSource& content) {
    TEntry& entry = m_entries.emplace_back();
    entry.name = name;
    entry.size = content.GetSize();
    entry.headerOffset = m_flushed + m_pending.size();
    const std::string placeholder = FormatLocalHeader(entry);
    Append(placeholder.data(), placeholder.size());
    if (entry.size == 0 || !Deflate(content, entry)) {
        Store(content, entry);
    }
    // The header again, now with its method, CRC and sizes, in as many bytes. A flush takes all
    // that is pending, so the header is either wholly pending or wholly written.
    const std::string header = FormatLocalHeader(entry);
    if (entry.headerOffset >= m_flushed) {
        m_pending.replace(static_cast<std::size_t>(entry.headerOffset - m_flushed), header.size(),
                          header);
    } else {
        WriteAt(m_descriptor, entry.headerOffset, header, m_path);
    }
}

std::string CReproducibleZip::FormatLocalHeader(const TEntry& entry) const {
    if (entry.name.size() > Saturated16) {
        throw CToolError("a name of more than 65535 bytes, which no zip entry can hold: " +
                         entry.name.substr(0, 80) + "...");
    }
    // Whether the sizes need Zip64 is known before the content is read: deflate is kept only
    // where it shrinks the content. Here both sizes go into the field then.
    const bool largeSizes = entry.size >= Saturated32;
    std::string header;
    Put32(header, LocalHeaderSignature);
    PutEntryFields(header, entry, largeSizes ? Saturated32 : entry.compressedSize,
                   largeSizes ? Saturated32 : entry.size, largeSizes ? 20 : 0);
    header += entry.name;
    if (largeSizes) {
        Put16(header, Zip64ExtraId);
        Put16(header, 16);
        Put64(header, entry.size);
        Put64(header, entry.compressedSize);
    }
    return header;
}

std::string CReproducibleZip::FormatCentralEntry(const TEntry& entry) const {
    // Only the values that do not fit go into the Zip64 field, in this order.
    std::string values;
    for (const std::uint64_t value : {entry.size, entry.compressedSize, entry.headerOffset}) {
        if (value >= Saturated32) {
            Put64(values, value);
        }
    }
    std::string record;
    Put32(record, CentralEntrySignature);
    Put16(record, MadeBy);
    PutEntryFields(record, entry, Saturate(entry.compressedSize, Saturated32),
                   Saturate(entry.size, Saturated32), values.empty() ? 0 : values.size() + 4);
    Put16(record, 0); // comment length
    Put16(record, 0); // disk
    Put16(record, 0); // internal attributes
    Put32(record, entry.isFolder ? FolderAttributes : FileAttributes);
    Put32(record, Saturate(entry.headerOffset, Saturated32));
    record += entry.name;
    if (!values.empty()) {
        Put16(record, Zip64ExtraId);
        Put16(record, values.size());
        record += values;
    }
    return record;
}

// From the version needed to the extra field's length: the fields that the local header and
// the central directory entry share.
void CReproducibleZip::PutEntryFields(std::string& out, const TEntry& entry,
                                      std::uint64_t compressedField, std::uint64_t sizeField,
                                      std::size_t extraLength) const {
    const bool needsZip64 = entry.size >= Saturated32 || entry.headerOffset >= Saturated32;
    Put16(out, needsZip64 ? NeedsZip64 : NeedsDeflate);
    Put16(out, GetFlags(entry.name));
    Put16(out, entry.method);
    Put16(out, m_dosTime);
    Put16(out, m_dosDate);
    Put32(out, entry.crc);
    Put32(out, compressedField);
    Put32(out, sizeField);
    Put16(out, entry.name.size());
    Put16(out, extraLength);
}

bool CReproducibleZip::DeflatePieces(
    const CByteSource& content, TEntry& entry, std::vector<unsigned char>& input,
    std::vector<unsigned char>& output,
    const std::function<bool(const unsigned char*, std::size_t)>& take) {
    CDeflater deflater;
    z_stream& stream = deflater.Get();
    std::uint32_t crc = crc32(0, nullptr, 0);
    std::uint64_t compressed = 0;
    int status = Z_OK;
    for (std::uint64_t offset = 0; status != Z_STREAM_END;) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(PieceSize, entry.size - offset));
        if (piece > 0 && !content.ReadAt(offset, input.data(), piece)) {
            throw CToolError("cannot read " + entry.name + " to the end");
        }
        offset += piece;
        crc = crc32(crc, input.data(), static_cast<uInt>(piece));
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(piece);
        const int flush = offset == entry.size ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            status = deflate(&stream, flush);
            if (status == Z_STREAM_ERROR) {
                throw CToolError("zlib failed to deflate " + entry.name);
            }
            const std::size_t produced = output.size() - stream.avail_out;
            compressed += produced;
            if (!take(output.data(), produced)) {
                return false;
            }
        } while (stream.avail_out == 0);
    }
    entry.crc = crc;
    entry.compressedSize = compressed;
    return true;
}

std::uint64_t CReproducibleZip::MeasureContent(const CByteSource& content, std::string_view name,
                                               std::uint64_t atMost) {
    TEntry entry;
    entry.name = name;
    entry.size = content.GetSize();
    std::vector<unsigned char> input(PieceSize);
    std::vector<unsigned char> output(PieceSize);
    std::uint64_t compressed = 0;
    const bool deflated =
        entry.size != 0 && DeflatePieces(content, entry, input, output,
                                         [&](const unsigned char*, std::size_t produced) {
                                             compressed += produced;
                                             return compressed < entry.size && compressed <= atMost;
                                         });
    // Stopped short of the size, the bytes deflated so far are already too many.
    return deflated ? entry.compressedSize : std::min(compressed, entry.size);
}

bool CReproducibleZip::Deflate(const CByteSource& content, TEntry& entry) {
    const std::uint64_t dataOffset = m_flushed + m_pending.size();
    std::uint64_t compressed = 0;
    const bool deflated = DeflatePieces(content, entry, m_input, m_output,
                                        [&](const unsigned char* bytes, std::size_t produced) {
                                            compressed += produced;
                                            if (compressed >= entry.size) {
                                                return false;
                                            }
                                            Append(bytes, produced);
                                            return true;
                                        });
    if (!deflated) {
        // Drop what was kept of it; Store writes over whatever reached the disk.
        if (dataOffset >= m_flushed) {
            m_pending.resize(static_cast<std::size_t>(dataOffset - m_flushed));
        } else {
            m_pending.clear();
            m_flushed = dataOffset;
        }
        return false;
    }
    entry.method = DeflatedMethod;
    return true;
}

void CReproducibleZip::Store(const CByteSource& content, TEntry& entry) {
    std::uint32_t crc = crc32(0, nullptr, 0);
    for (std::uint64_t offset = 0; offset < entry.size;) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(PieceSize, entry.size - offset));
        if (!content.ReadAt(offset, m_input.data(), piece)) {
            throw CToolError("cannot read " + entry.name + " to the end");
        }
        crc = crc32(crc, m_input.data(), static_cast<uInt>(piece));
        Append(m_input.data(), piece);
        offset += piece;
    }
    entry.method = StoredMethod;
    entry.crc = crc;
    entry.compressedSize = entry.size;
}

void CReproducibleZip::Finish() {
    const std::uint64_t directoryOffset = m_flushed + m_pending.size();
    for (const TEntry& entry : m_entries) {
        const std::string record = FormatCentralEntry(entry);
        Append(record.data(), record.size());
    }
    const std::uint64_t endOffset = m_flushed + m_pending.size();
    const std::uint64_t directorySize = endOffset - directoryOffset;
    const std::uint64_t count = m_entries.size();
    std::string end;
    if (count >= Saturated16 || directorySize >= Saturated32 || directoryOffset >= Saturated32) {
        Put32(end, Zip64EndSignature);
        Put64(end, Zip64EndRecordSize - 12); // the record's size past this field
        Put16(end, MadeBy);
        Put16(end, NeedsZip64);
        Put32(end, 0); // this disk
        Put32(end, 0); // the disk of the central directory
        Put64(end, count);
        Put64(end, count);
        Put64(end, directorySize);
        Put64(end, directoryOffset);
        Put32(end, Zip64LocatorSignature);
        Put32(end, 0); // the disk of the Zip64 end record
        Put64(end, endOffset);
        Put32(end, 1); // disks in all
    }
    Put32(end, EndSignature);
    Put16(end, 0); // this disk
    Put16(end, 0); // the disk of the central directory
    Put16(end, Saturate(count, Saturated16));
    Put16(end, Saturate(count, Saturated16));
    Put32(end, Saturate(directorySize, Saturated32));
    Put32(end, Saturate(directoryOffset, Saturated32));
    Put16(end, 0); // comment length
    Append(end.data(), end.size());
    Flush();
    // A deflate attempt given up late may have left bytes past the end.
    if (ftruncate(m_descriptor, static_cast<off_t>(m_flushed)) != 0) {
        ThrowFileError("cannot write", m_path);
    }
}

void CReproducibleZip::Append(const void* bytes, std::size_t size) {
    m_pending.append(static_cast<const char*>(bytes), size);
    if (m_pending.size() >= PieceSize) {
        Flush();
    }
}

void CReproducibleZip::Flush() {
    WriteAt(m_descriptor, m_flushed, m_pending, m_path);
    m_flushed += m_pending.size();
    m_pending.clear();
}
