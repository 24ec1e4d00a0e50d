#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Owns an open file descriptor: closed however its owner ends, also when the owner's
// constructor throws.
class CFileDescriptor {
public:
    explicit CFileDescriptor(int descriptor) : m_value(descriptor) {}
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    virtual ~CFileDescriptor();

    int Get() const { return m_value; }
    // Closes it now; false when close reports a failure, which for a written file may be the
    // first word of a write that did not reach the disk.
    bool Close();

private:
    int m_value;
};

// Fills the whole buffer from the offset on; false when the file cannot give all of it.
bool ReadAt(int descriptor, std::uint64_t offset, void* buffer, std::size_t size);

// Writes all the bytes at the offset; a failure is a CToolError naming the path.
void WriteAt(int descriptor, std::uint64_t offset, std::string_view bytes, const std::string& path);
