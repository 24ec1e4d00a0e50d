#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What one volume holds for the user, as Windows reports it for a folder on it.
struct TVolumeSpace {
    std::wstring folder;
    std::wstring volume; // its root, as Windows names it
    std::uint64_t clusterSize = 1;
    std::uint64_t freeBytes = 0; // available to the user, quotas included
    std::uint64_t totalBytes = 0;
};

// Windows' figures for the volume that holds the folder; false where it cannot tell.
bool QueryVolumeSpace(const std::wstring& folder, TVolumeSpace& space);

// What an update leaves free for the user's other programs while it runs: 1 % of the volume,
// at least 16 MiB and at most 256 MiB.
std::uint64_t GetSpaceMargin(std::uint64_t volumeSize);

// The room that an update's files take on each volume it writes to, each file in whole clusters
// of that volume. The extraction folder's volume takes the unpacked files; the application's
// volume, where it is another, takes them again, since a move there is a copy and the old files
// stay as backups until the end. Where both are one volume, the moves are renames and the two
// checks are the same.
class CSpaceNeed {
public:
    // A folder whose volume cannot be asked is left out: the writing itself then tells.
    explicit CSpaceNeed(const std::vector<std::wstring>& folders);
    explicit CSpaceNeed(std::vector<TVolumeSpace> volumes);
    CSpaceNeed(const CSpaceNeed&) = delete;
    CSpaceNeed& operator=(const CSpaceNeed&) = delete;
    virtual ~CSpaceNeed() = default;

    void AddFile(std::uint64_t size);
    // Throws COrvException for the first volume without room, naming it with what the update
    // needs there (margin included) and what is free.
    void Check() const;

private:
    std::vector<TVolumeSpace> m_volumes;
    std::vector<std::uint64_t> m_needed; // per volume, without the margin
};
