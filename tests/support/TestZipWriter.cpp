#include "TestZipWriter.h"

#include "core/ZipFormat.h"

#include <zlib.h>

#include <stdexcept>

namespace {

void Put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

std::uint32_t Crc(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string Zip64Field(std::uint64_t size, std::uint64_t compressed, const std::uint64_t* offset) {
    std::string field;
    Put(field, 1, 2);
    Put(field, offset ? 24 : 16, 2);
    Put(field, size, 8);
    Put(field, compressed, 8);
    if (offset) {
        Put(field, *offset, 8);
    }
    return field;
}

} // namespace

std::string Deflate(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    return out;
}

std::string BuildZip(const TTestArchive& archive) {
    std::string out;
    std::string directory;
    for (const TTestEntry& entry : archive.entries) {
        const std::string payload = entry.payload.value_or(
            entry.method == DeflatedMethod ? Deflate(entry.data) : entry.data);
        const std::uint32_t crc = entry.crc.value_or(Crc(entry.data));
        const std::uint64_t size = entry.size.value_or(entry.data.size());
        const std::uint64_t offset = out.size();
        const bool descriptor = (entry.flags & DataDescriptorFlag) != 0;
        const std::uint64_t saturated = entry.zip64 ? Saturated32 : 0;

        const std::string localExtra = entry.zip64 ? Zip64Field(size, payload.size(), nullptr) : "";
        Put(out, LocalHeaderSignature, 4);
        Put(out, entry.zip64 ? 45 : 20, 2);
        Put(out, entry.flags, 2);
        Put(out, entry.method, 2);
        Put(out, 0x00210000, 4);
        Put(out, descriptor ? 0 : crc, 4);
        Put(out, descriptor ? 0 : (saturated ? saturated : payload.size()), 4);
        Put(out, descriptor ? 0 : (saturated ? saturated : size), 4);
        Put(out, entry.name.size(), 2);
        Put(out, localExtra.size(), 2);
        out += entry.name + localExtra + payload;
        if (descriptor) {
            Put(out, DataDescriptorSignature, 4);
            Put(out, crc, 4);
            Put(out, payload.size(), 4);
            Put(out, size, 4);
        }

        const std::string extra =
            (entry.zip64 ? Zip64Field(size, payload.size(), &offset) : "") + entry.extra;
        Put(directory, CentralEntrySignature, 4);
        Put(directory, 20 | (entry.host << 8), 2);
        Put(directory, entry.zip64 ? 45 : 20, 2);
        Put(directory, entry.flags, 2);
        Put(directory, entry.method, 2);
        Put(directory, 0x00210000, 4);
        Put(directory, crc, 4);
        Put(directory, saturated ? saturated : payload.size(), 4);
        Put(directory, saturated ? saturated : size, 4);
        Put(directory, entry.name.size(), 2);
        Put(directory, extra.size(), 2);
        Put(directory, 0, 2); // comment length
        Put(directory, 0, 2); // disk
        Put(directory, 0, 2); // internal attributes
        Put(directory, 0, 4); // external attributes
        Put(directory, saturated ? saturated : offset, 4);
        directory += entry.name + extra;
    }
    const std::uint64_t directoryOffset = out.size();
    const std::uint64_t count = archive.entries.size();
    out += directory;
    if (archive.zip64End) {
        const std::uint64_t recordOffset = out.size();
        Put(out, Zip64EndSignature, 4);
        Put(out, 44, 8);
        Put(out, 45, 2);
        Put(out, 45, 2);
        Put(out, 0, 8);
        Put(out, count, 8);
        Put(out, count, 8);
        Put(out, directory.size(), 8);
        Put(out, directoryOffset, 8);
        Put(out, Zip64LocatorSignature, 4);
        Put(out, 0, 4);
        Put(out, recordOffset, 8);
        Put(out, 1, 4);
    }
    Put(out, EndSignature, 4);
    Put(out, 0, 4);
    Put(out, archive.zip64End ? Saturated16 : count & 0xFFFF, 2);
    Put(out, archive.zip64End ? Saturated16 : count & 0xFFFF, 2);
    Put(out, archive.zip64End ? Saturated32 : directory.size(), 4);
    Put(out, archive.zip64End ? Saturated32 : directoryOffset, 4);
    Put(out, archive.comment.size(), 2);
    return out + archive.comment;
}

std::vector<unsigned char> BuildZipBytes(const TTestArchive& archive) {
    const std::string zip = BuildZip(archive);
    return std::vector<unsigned char>(zip.begin(), zip.end());
}
