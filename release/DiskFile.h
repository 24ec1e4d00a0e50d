#pragma once

#include "core/ByteSource.h"
#include "release/FileDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <string>

// A file on disk, read with positional reads: an archive, read as the updater reads its own so
// that the reader core sees the same bytes here as there, or a file of a release folder. Opened
// for writing, an archive also takes the signature's new tail. Every failure is a CToolError
// naming the file.
class CDiskFile : public CByteSource {
public:
    enum class TAccess { Read, ReadWrite };

    CDiskFile(const std::string& path, TAccess access);

    std::uint64_t GetSize() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override;

    // Writes the bytes at the offset, ends the file right after them and flushes it to disk.
    void ReplaceTail(std::uint64_t offset, const std::string& bytes);

private:
    std::string m_path;
    CFileDescriptor m_descriptor;
    std::uint64_t m_size = 0;
};

// The file's first bytes, at most that many: a text that its reader refuses when it is longer.
std::string ReadFileStart(const std::string& path, std::size_t most);
