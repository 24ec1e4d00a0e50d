#pragma once

#include "release/FileDescriptor.h"

#include <string>

// A file made under a temporary name beside the path it is meant for, and renamed onto that
// path only once it is complete and on the disk: the path only ever holds nothing, its earlier
// file or the whole new one, whenever the run is interrupted. Removed unless committed. Every
// failure is a CToolError.
class CPendingFile {
public:
    explicit CPendingFile(const std::string& finalPath);
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
    CFileDescriptor m_descriptor;
    bool m_committed = false;
};
