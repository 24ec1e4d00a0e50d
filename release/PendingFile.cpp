#include "release/PendingFile.h"

#include "release/InterruptCleanup.h"
#include "release/ToolError.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr std::string_view TemporarySuffix = ".incomplete-";
constexpr std::string_view TemporaryPattern = "XXXXXX";

mode_t GetUsualMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// mkstemp makes the file for its owner alone, under a name no other run has.
int MakeTemporary(std::string& path) {
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    CTemporaryFilesLock lock;
    const int descriptor = mkstemp(name.data());
    path.assign(name.data());
    if (descriptor >= 0) {
        lock.Register(path);
    }
    return descriptor;
}

struct TFolderRelease {
    void operator()(DIR* folder) const { closedir(folder); }
};

} // namespace

CPendingFile::CPendingFile(const std::string& finalPath, std::optional<mode_t> mode)
    : m_finalPath(ResolveWrittenPath(finalPath)),
      m_path(m_finalPath + std::string(TemporarySuffix) + std::string(TemporaryPattern)),
      m_mode(mode), m_descriptor(MakeTemporary(m_path)) {
    if (m_descriptor.Get() < 0) {
        ThrowFileError("cannot create a file beside", finalPath);
    }
}

CPendingFile::~CPendingFile() {
    if (!m_committed) {
        CTemporaryFilesLock lock;
        unlink(m_path.c_str());
        lock.Forget(m_path);
    }
}

void CPendingFile::Commit() {
    if (fchmod(m_descriptor.Get(), m_mode.value_or(GetUsualMode())) != 0) {
        ThrowFileError("cannot set the mode of", m_path);
    }
    if (fsync(m_descriptor.Get()) != 0 || !m_descriptor.Close()) {
        ThrowFileError("cannot write", m_path);
    }
    {
        CTemporaryFilesLock lock;
        if (rename(m_path.c_str(), m_finalPath.c_str()) != 0) {
            ThrowFileError("cannot rename the finished file to", m_finalPath);
        }
        lock.Forget(m_path);
        m_committed = true;
    }
    const CFileDescriptor folder(
        open(GetContainingFolder(m_finalPath).c_str(), O_RDONLY | O_DIRECTORY));
    if (folder.Get() < 0 || fsync(folder.Get()) != 0) {
        ThrowFileError("cannot flush the folder of", m_finalPath);
    }
}

std::string GetContainingFolder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string ResolveWrittenPath(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
        return path;
    }
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                               &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

std::vector<std::string> FindTemporaryFilesBeside(const std::string& finalPath) {
    const std::string written = ResolveWrittenPath(finalPath);
    const std::size_t slash = written.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : written.substr(0, slash + 1);
    const std::string name = written.substr(prefix.size());
    std::vector<std::string> found;
    const std::unique_ptr<DIR, TFolderRelease> folder(
        opendir(GetContainingFolder(written).c_str()));
    if (!folder) {
        return found;
    }
    const std::size_t tail = TemporarySuffix.size() + TemporaryPattern.size();
    while (const dirent* child = readdir(folder.get())) {
        // NAME.incomplete-XXXXXX, or NAME.companion.incomplete-XXXXXX
        const std::string_view candidate = child->d_name;
        if (candidate.size() >= name.size() + tail && candidate.starts_with(name) &&
            candidate.substr(candidate.size() - tail, TemporarySuffix.size()) == TemporarySuffix &&
            (candidate.size() == name.size() + tail || candidate[name.size()] == '.')) {
            found.push_back(prefix + std::string(candidate));
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}
