#include "release/FileDescriptor.h"

#include "release/ToolError.h"

#include <unistd.h>

#include <cerrno>
#include <limits>

CFileDescriptor::~CFileDescriptor() {
    Close();
}

bool CFileDescriptor::Close() {
    if (m_value < 0) {
        return true;
    }
    const int descriptor = m_value;
    m_value = -1;
    return close(descriptor) == 0;
}

bool ReadAt(int descriptor, std::uint64_t offset, void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return false;
        }
        const ssize_t got = pread(descriptor, bytes, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

void WriteAt(int descriptor, std::uint64_t offset, std::string_view bytes,
             const std::string& path) {
    for (std::size_t done = 0; done < bytes.size();) {
        if (offset + done > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            throw CToolError("the file grows too large for this system: " + path);
        }
        const ssize_t put = pwrite(descriptor, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            ThrowFileError("cannot write", path);
        }
        done += static_cast<std::size_t>(put);
    }
}
