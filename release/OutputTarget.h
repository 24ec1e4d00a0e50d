#pragma once

#include <sys/types.h>

#include <compare>
#include <map>
#include <string>
#include <vector>

// A file as the file system knows it, whatever path, link or spelling names it.
struct TFileIdentity {
    dev_t device = 0;
    ino_t inode = 0;

    friend auto operator<=>(const TFileIdentity&, const TFileIdentity&) = default;
};

// The files that a run reads, each with the words that name it in a message ("the previous
// update", "the signing key", "FOLDER's file docs/a.txt").
class CRunInputs {
public:
    // The file the path leads to, links followed; a path that leads nowhere is left out, since
    // nothing can be written over it.
    void Add(const std::string& path, const std::string& role);
    void Add(const TFileIdentity& identity, const std::string& role);
    // The role of the input with that identity, or null.
    const std::string* Find(const TFileIdentity& identity) const;

private:
    std::map<TFileIdentity, std::string> m_roles;
};

struct TOutputCheck {
    // Why nothing may be written to the path, one line each: nothing is to be written then.
    std::vector<std::string> problems;
    // Temporary files beside it of a run that was killed, or of one still going: named, never
    // removed, since they may be another run's.
    std::vector<std::string> warnings;
};

// Decides, before the run does any work, whether it may write a file of its own to the path
// (the archive of pack, each archive that publish writes, the archive that sign replaces): the
// path must not lead to any input of the run (links followed, compared by device and inode), nor
// to anything but a regular file where something is there already, and its folder must exist and
// take new files, which the temporary file beside it needs.
TOutputCheck CheckOutputTarget(const std::string& path, const CRunInputs& inputs);
