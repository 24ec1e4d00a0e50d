#include "release/DiskFile.h"

#include "release/ToolError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

CDiskFile::CDiskFile(const std::string& path, TAccess access)
    : m_path(path), m_descriptor(open(path.c_str(), access == TAccess::Read ? O_RDONLY : O_RDWR)) {
    if (m_descriptor.Get() < 0) {
        ThrowFileError("cannot open", path);
    }
    struct stat status {};
    if (fstat(m_descriptor.Get(), &status) != 0) {
        ThrowFileError("cannot read", path);
    }
    if (!S_ISREG(status.st_mode)) {
        throw CToolError("not a file: " + path);
    }
    m_size = static_cast<std::uint64_t>(status.st_size);
}

bool CDiskFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    return ::ReadAt(m_descriptor.Get(), offset, buffer, size);
}

void CDiskFile::ReplaceTail(std::uint64_t offset, const std::string& bytes) {
    WriteAt(m_descriptor.Get(), offset, bytes, m_path);
    const std::uint64_t end = offset + bytes.size();
    if (ftruncate(m_descriptor.Get(), static_cast<off_t>(end)) != 0) {
        ThrowFileError("cannot write", m_path);
    }
    if (fsync(m_descriptor.Get()) != 0) {
        ThrowFileError("cannot write", m_path);
    }
    m_size = end;
}

std::string ReadFileStart(const std::string& path, std::size_t most) {
    const CDiskFile file(path, CDiskFile::TAccess::Read);
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(file.GetSize(), most)), '\0');
    if (!file.ReadAt(0, text.data(), text.size())) {
        ThrowFileError("cannot read", path);
    }
    return text;
}
