#include "release/MappedFile.h"

#include "release/FileDescriptor.h"
#include "release/ToolError.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

CMappedFile::CMappedFile(const std::string& path) : m_path(path) {
    const CFileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        ThrowFileError("cannot open", path);
    }
    struct stat status {};
    if (fstat(file.Get(), &status) != 0) {
        ThrowFileError("cannot read", path);
    }
    if (!S_ISREG(status.st_mode)) {
        throw CToolError("not a file: " + path);
    }
    m_size = static_cast<std::size_t>(status.st_size);
    if (m_size == 0) {
        return;
    }
    void* mapped = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, file.Get(), 0);
    if (mapped == MAP_FAILED) {
        ThrowFileError("cannot map", path);
    }
    m_bytes = static_cast<const std::uint8_t*>(mapped);
}

CMappedFile::~CMappedFile() {
    if (m_bytes != nullptr) {
        munmap(const_cast<std::uint8_t*>(m_bytes), m_size);
    }
}

bool CMappedFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    if (offset > m_size || m_size - offset < size) {
        return false;
    }
    std::copy_n(m_bytes + offset, size, static_cast<std::uint8_t*>(buffer));
    return true;
}

void CMappedFile::Release(std::uint64_t end) {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t pages =
        static_cast<std::size_t>(std::min<std::uint64_t>(end, m_size)) / page * page;
    if (pages > m_released) {
        // Only advice: a failure leaves the pages in memory, and nothing else changes.
        static_cast<void>(madvise(const_cast<std::uint8_t*>(m_bytes) + m_released,
                                  pages - m_released, MADV_DONTNEED));
        m_released = pages;
    }
}
