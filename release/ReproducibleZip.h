#pragma once

#include "core/ByteSource.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

// Writes a zip archive whose bytes depend on nothing but the names and contents put in and the
// one timestamp: entries in the order they are added, every entry with that timestamp (as DOS
// time in UTC), fixed versions and attributes, the UTF-8 flag exactly for names that are not
// ASCII, no extra field but Zip64's where a size or offset needs one, and the Zip64 end records
// only where the entry count or the central directory needs them. Contents are deflated at one
// fixed zlib level, or stored where deflate does not make them smaller. Contents are streamed:
// memory stays bounded whatever their size. Every failure is a CToolError.
class CReproducibleZip {
public:
    // The default timestamp when none is given: the earliest that a zip can record,
    // 1980-01-01 00:00:00 UTC.
    static constexpr std::time_t EarliestTimestamp = 315532800;

    // Writes to the empty, seekable file from its start; the descriptor stays the caller's, and
    // the path only names it in messages.
    CReproducibleZip(int descriptor, const std::string& path, std::time_t timestamp);
    CReproducibleZip(const CReproducibleZip&) = delete;
    CReproducibleZip& operator=(const CReproducibleZip&) = delete;
    virtual ~CReproducibleZip() = default;

    // A name is the entry's path in UTF-8 with '/' between components; a folder's ends in '/'.
    void AddFolder(std::string_view name);
    // Reads the content from offset 0 to its size, twice where deflate does not pay.
    void AddFile(std::string_view name, const CByteSource& content);
    // The bytes that AddFile would write of the content, its header not counted: deflated, or
    // stored where deflate does not make it smaller. Stops as soon as they are known to be more
    // than atMost, and then gives some count above it.
    static std::uint64_t
    MeasureContent(const CByteSource& content, std::string_view name,
                   std::uint64_t atMost = std::numeric_limits<std::uint64_t>::max());
    // The central directory and the end records; the archive is complete once they are written.
    void Finish();

private:
    struct TEntry {
        std::string name;
        std::uint16_t method = 0;
        std::uint32_t crc = 0;
        std::uint64_t compressedSize = 0;
        std::uint64_t size = 0;
        std::uint64_t headerOffset = 0;
        bool isFolder = false;
    };

    // Frees zlib's state however the deflate attempt ends.
    class CDeflater {
    public:
        CDeflater();
        CDeflater(const CDeflater&) = delete;
        CDeflater& operator=(const CDeflater&) = delete;
        virtual ~CDeflater();

        z_stream& Get() { return m_stream; }

    private:
        z_stream m_stream{};
    };

    std::string FormatLocalHeader(const TEntry& entry) const;
    std::string FormatCentralEntry(const TEntry& entry) const;
    void PutEntryFields(std::string& out, const TEntry& entry, std::uint64_t compressedField,
                        std::uint64_t sizeField, std::size_t extraLength) const;
    // Deflates the content in pieces, each handed on as it is made, until it is done or take
    // says to stop: false then. The CRC of the content is the entry's once it is done.
    static bool DeflatePieces(const CByteSource& content, TEntry& entry,
                              std::vector<unsigned char>& input, std::vector<unsigned char>& output,
                              const std::function<bool(const unsigned char*, std::size_t)>& take);
    // Deflates the content behind the local header; false, with nothing kept, as soon as the
    // deflated form is no smaller than the content.
    bool Deflate(const CByteSource& content, TEntry& entry);
    void Store(const CByteSource& content, TEntry& entry);
    void Append(const void* bytes, std::size_t size);
    void Flush();

    int m_descriptor;
    std::string m_path;
    std::uint16_t m_dosTime = 0;
    std::uint16_t m_dosDate = 0;
    std::vector<TEntry> m_entries;
    // The bytes not yet written end at m_flushed + m_pending.size().
    std::uint64_t m_flushed = 0;
    std::string m_pending;
    std::vector<unsigned char> m_input;
    std::vector<unsigned char> m_output;
};
