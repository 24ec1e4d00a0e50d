#pragma once

#include "release/FileDescriptor.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// A file made under a temporary name beside the path it is meant for, and renamed onto that
// path only once it is complete and on the disk: the path only ever holds nothing, its earlier
// file or the whole new one, whenever the run is interrupted. Removed unless committed, also when
// an interrupt ends the run (RemoveTemporaryFilesOnInterrupt). Where the path is a symbolic
// link, the file it links to takes the new content, and the link stays. Every failure is a
// CToolError.
class CPendingFile {
public:
    // The finished file gets the mode given, or else the one that a plain creation would give.
    explicit CPendingFile(const std::string& finalPath, std::optional<mode_t> mode = std::nullopt);
    CPendingFile(const CPendingFile&) = delete;
    CPendingFile& operator=(const CPendingFile&) = delete;
    virtual ~CPendingFile();

    int GetDescriptor() const { return m_descriptor.Get(); }
    // The temporary name, for whoever reads or writes the file by its path meanwhile.
    const std::string& GetPath() const { return m_path; }
    // Flushes the file and its folder to the disk around the rename.
    void Commit();

private:
    std::string m_finalPath;
    std::string m_path;
    std::optional<mode_t> m_mode;
    CFileDescriptor m_descriptor;
    bool m_committed = false;
};

// The path that a file written to path ends up at: the file that a symbolic link there leads
// to, as far as it exists, else path itself.
std::string ResolveWrittenPath(const std::string& path);

// The folder that holds the path, where its temporary file is made.
std::string GetContainingFolder(const std::string& path);

// The temporary files beside the path that a run which never ended left, or that a run which is
// still going makes: the ones of the path itself and of its companions ("OUT.zip.patch").
std::vector<std::string> FindTemporaryFilesBeside(const std::string& finalPath);
