#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Where the reader takes the archive's bytes from: a file on Windows, memory in tests and in
// the fuzz target. Reads are positional, so any number of open entries can share one source.
class CByteSource {
public:
    CByteSource() = default;
    CByteSource(const CByteSource&) = delete;
    CByteSource& operator=(const CByteSource&) = delete;
    virtual ~CByteSource() = default;

    virtual std::uint64_t GetSize() const = 0;
    // Fills the whole buffer from the offset on; false when the source cannot give all of it.
    virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const = 0;
};

class CMemoryByteSource : public CByteSource {
public:
    explicit CMemoryByteSource(std::vector<unsigned char> bytes) : m_bytes(std::move(bytes)) {}

    std::uint64_t GetSize() const override { return m_bytes.size(); }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override;
    const std::vector<unsigned char>& GetBytes() const { return m_bytes; }

private:
    std::vector<unsigned char> m_bytes;
};
