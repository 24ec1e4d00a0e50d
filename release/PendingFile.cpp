#include "release/PendingFile.h"

#include "release/ToolError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

// mkstemp makes the file for its owner alone; the finished file gets the mode that a plain
// creation would give it.
void GiveUsualMode(int descriptor, const std::string& path) {
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(descriptor, 0666 & ~mask) != 0) {
        ThrowFileError("cannot set the mode of", path);
    }
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int MakeTemporary(std::string& path) {
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    const int descriptor = mkstemp(name.data());
    path.assign(name.data());
    return descriptor;
}

} // namespace

CPendingFile::CPendingFile(const std::string& finalPath)
    : m_finalPath(finalPath), m_path(finalPath + ".incomplete-XXXXXX"),
      m_descriptor(MakeTemporary(m_path)) {
    if (m_descriptor.Get() < 0) {
        ThrowFileError("cannot create a file beside", finalPath);
    }
}

CPendingFile::~CPendingFile() {
    if (!m_committed) {
        unlink(m_path.c_str());
    }
}

void CPendingFile::Commit() {
    GiveUsualMode(m_descriptor.Get(), m_path);
    if (fsync(m_descriptor.Get()) != 0 || !m_descriptor.Close()) {
        ThrowFileError("cannot write", m_path);
    }
    if (rename(m_path.c_str(), m_finalPath.c_str()) != 0) {
        ThrowFileError("cannot rename the finished archive to", m_finalPath);
    }
    m_committed = true;
    const CFileDescriptor folder(open(FolderOf(m_finalPath).c_str(), O_RDONLY | O_DIRECTORY));
    if (folder.Get() < 0 || fsync(folder.Get()) != 0) {
        ThrowFileError("cannot flush the folder of", m_finalPath);
    }
}
