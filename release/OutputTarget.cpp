#include "release/OutputTarget.h"

#include "release/PendingFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void CRunInputs::Add(const std::string& path, const std::string& role) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        Add(TFileIdentity{status.st_dev, status.st_ino}, role);
    }
}

void CRunInputs::Add(const TFileIdentity& identity, const std::string& role) {
    m_roles.emplace(identity, role);
}

const std::string* CRunInputs::Find(const TFileIdentity& identity) const {
    const auto found = m_roles.find(identity);
    return found == m_roles.end() ? nullptr : &found->second;
}

TOutputCheck CheckOutputTarget(const std::string& path, const CRunInputs& inputs) {
    TOutputCheck check;
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        if (const std::string* role = inputs.Find(TFileIdentity{status.st_dev, status.st_ino})) {
            check.problems.push_back(path + ": the output would overwrite " + *role +
                                     " (the same file)");
        } else if (!S_ISREG(status.st_mode)) {
            check.problems.push_back(path + ": " +
                                     (S_ISDIR(status.st_mode) ? "a folder" : "a special file") +
                                     ", and only a regular file is ever replaced by an output");
        }
    } else if (const int error = errno; error != ENOENT) {
        check.problems.push_back(path + ": cannot be read: " + std::strerror(error));
    }
    const std::string folder = GetContainingFolder(ResolveWrittenPath(path));
    struct stat folderStatus {};
    if (stat(folder.c_str(), &folderStatus) != 0) {
        const int error = errno;
        check.problems.push_back(path + ": its folder " + folder +
                                 " cannot be used: " + std::strerror(error));
    } else if (!S_ISDIR(folderStatus.st_mode)) {
        check.problems.push_back(path + ": " + folder + " is no folder");
    } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
        const int error = errno;
        check.problems.push_back(path + ": its folder " + folder +
                                 " takes no new files: " + std::strerror(error));
    }
    for (const std::string& leftover : FindTemporaryFilesBeside(path)) {
        check.warnings.push_back("warning: " + leftover +
                                 ": a temporary file of a run that was killed, or of one still "
                                 "going; not removed");
    }
    return check;
}
