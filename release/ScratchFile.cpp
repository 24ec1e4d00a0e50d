#include "release/ScratchFile.h"

#include "release/ToolError.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

// O_TMPFILE where the file system has it; elsewhere a file that is unlinked as soon as it is
// made, which an interrupt in between may leave under its plainly temporary name.
int MakeUnnamed(const std::string& folder) {
    const int descriptor = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (descriptor >= 0 || (errno != EOPNOTSUPP && errno != EISDIR)) {
        return descriptor;
    }
    std::string path = folder + "/.orvandel-scratch-XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    const int named = mkstemp(name.data());
    if (named >= 0) {
        unlink(name.data());
    }
    return named;
}

} // namespace

CScratchFile::CScratchFile(const std::string& folder)
    : m_folder(folder), m_descriptor(MakeUnnamed(folder)) {
    if (m_descriptor.Get() < 0) {
        ThrowFileError("cannot make a scratch file in", folder);
    }
}

void CScratchFile::Append(std::string_view bytes) {
    WriteAt(m_descriptor.Get(), m_size, bytes, "a scratch file in " + m_folder);
    m_size += bytes.size();
}

void CScratchFile::Truncate(std::uint64_t size) {
    if (ftruncate(m_descriptor.Get(), static_cast<off_t>(size)) != 0) {
        ThrowFileError("cannot write a scratch file in", m_folder);
    }
    m_size = size;
}

bool CScratchFile::CRange::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    return offset <= m_size && m_size - offset >= size &&
           ::ReadAt(m_file.m_descriptor.Get(), m_offset + offset, buffer, size);
}
