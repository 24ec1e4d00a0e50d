#pragma once

#include "core/ByteSource.h"
#include "release/FileDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A file without a name for bytes that are too many to hold in memory until the archive is
// written, such as patches: made in a folder with no name in it, so that no end of the run, not
// even a kill, leaves it behind. Every failure is a CToolError.
class CScratchFile {
public:
    // In the folder given, on the disk that the output goes to.
    explicit CScratchFile(const std::string& folder);

    std::uint64_t GetSize() const { return m_size; }
    void Append(std::string_view bytes);
    // Drops the bytes from the offset on.
    void Truncate(std::uint64_t size);

    // The bytes from the offset on, as the zip writer and the applier read them.
    class CRange : public CByteSource {
    public:
        CRange(const CScratchFile& file, std::uint64_t offset, std::uint64_t size)
            : m_file(file), m_offset(offset), m_size(size) {}

        std::uint64_t GetSize() const override { return m_size; }
        bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override;

    private:
        const CScratchFile& m_file;
        std::uint64_t m_offset;
        std::uint64_t m_size;
    };

private:
    std::string m_folder;
    CFileDescriptor m_descriptor;
    std::uint64_t m_size = 0;
};
