#pragma once

#include "core/ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// A file's bytes mapped into memory for reading, so that the pages that a pass has left behind
// can be given back while the pass goes on: a differ needs the new file by random access, but
// never before the stretch it is at. The file must not shrink while it is mapped (a release
// folder's file, which pack reads as it is). Every failure is a CToolError naming the file.
class CMappedFile : public CByteSource {
public:
    explicit CMappedFile(const std::string& path);
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;
    virtual ~CMappedFile();

    std::uint64_t GetSize() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override;
    std::span<const std::uint8_t> GetBytes() const { return {m_bytes, m_size}; }
    // The bytes before the offset are not needed for a while: their pages leave memory, and
    // come back from the file if read again.
    void Release(std::uint64_t end);

private:
    std::string m_path;
    const std::uint8_t* m_bytes = nullptr;
    std::size_t m_size = 0;
    std::size_t m_released = 0;
};
