#pragma once

#include "common/Handle.h"
#include "core/ByteSource.h"

#include <memory>
#include <string>

// An archive file on disk, read with positional reads so that open streams never disturb one
// another.
class CFileByteSource : public CByteSource {
public:
    CFileByteSource(CFileHandle file, std::uint64_t size);

    std::uint64_t GetSize() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override;

private:
    CFileHandle m_file;
    std::uint64_t m_size;
};

// Opens the file for reading, letting others only read it while it is open.
HRESULT OpenFileByteSource(const std::wstring& path, std::unique_ptr<CByteSource>& source);
