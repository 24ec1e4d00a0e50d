#pragma once

#include "zip/core/ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <string>

// An archive on disk, read with positional reads as the updater reads its own, so that the
// reader core sees the same bytes here as there. Opened for writing, it also takes the
// signature's new tail. Every failure is a CToolError naming the file.
class CArchiveFile : public CByteSource {
public:
    enum class TAccess { Read, ReadWrite };

    CArchiveFile(const std::string& path, TAccess access);

    std::uint64_t GetSize() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override;

    // Writes the bytes at the offset, ends the file right after them and flushes it to disk.
    void ReplaceTail(std::uint64_t offset, const std::string& bytes);

private:
    // Closes the file however the object ends, also when its constructor throws.
    class CDescriptor {
    public:
        explicit CDescriptor(int descriptor) : m_value(descriptor) {}
        CDescriptor(const CDescriptor&) = delete;
        CDescriptor& operator=(const CDescriptor&) = delete;
        ~CDescriptor();

        int Get() const { return m_value; }

    private:
        int m_value;
    };

    std::string m_path;
    CDescriptor m_descriptor;
    std::uint64_t m_size = 0;
};
