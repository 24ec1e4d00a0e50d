#include "unzip/SpaceCheck.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"

#include <windows.h>

#include <algorithm>
#include <limits>

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t Largest = std::numeric_limits<std::uint64_t>::max();

// A declared size near 2^64 must not wrap round into a small need.
std::uint64_t AddSaturating(std::uint64_t left, std::uint64_t right) {
    return right > Largest - left ? Largest : left + right;
}

std::uint64_t RoundUpToClusters(std::uint64_t size, std::uint64_t clusterSize) {
    const std::uint64_t clusters = size / clusterSize + (size % clusterSize != 0 ? 1 : 0);
    return clusters > Largest / clusterSize ? Largest : clusters * clusterSize;
}

std::vector<TVolumeSpace> QueryVolumes(const std::vector<std::wstring>& folders) {
    std::vector<TVolumeSpace> volumes;
    for (const std::wstring& folder : folders) {
        TVolumeSpace space;
        if (!folder.empty() && QueryVolumeSpace(folder, space)) {
            volumes.push_back(std::move(space));
        }
    }
    return volumes;
}

} // namespace

bool QueryVolumeSpace(const std::wstring& folder, TVolumeSpace& space) {
    const std::wstring path = ToExtendedLengthPath(folder);
    ULARGE_INTEGER freeToCaller{};
    ULARGE_INTEGER total{};
    if (!GetDiskFreeSpaceExW(path.c_str(), &freeToCaller, &total, nullptr)) {
        return false;
    }
    // A folder that is itself a mount point is its own volume, with a separator added.
    std::wstring volume(path.size() + 2, L'\0');
    if (!GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) {
        return false;
    }
    volume.resize(volume.find(L'\0'));
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    space.clusterSize = 1;
    if (GetDiskFreeSpaceW(volume.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                          &clusters) &&
        sectorsPerCluster != 0 && bytesPerSector != 0) {
        space.clusterSize = std::uint64_t{sectorsPerCluster} * bytesPerSector;
    }
    space.folder = folder;
    space.volume = volume.rfind(L"\\\\?\\", 0) == 0 ? volume.substr(4) : volume;
    space.freeBytes = freeToCaller.QuadPart;
    space.totalBytes = total.QuadPart;
    return true;
}

std::uint64_t GetSpaceMargin(std::uint64_t volumeSize) {
    return std::clamp(volumeSize / 100, 16 * MiB, 256 * MiB);
}

CSpaceNeed::CSpaceNeed(const std::vector<std::wstring>& folders)
    : CSpaceNeed(QueryVolumes(folders)) {}

CSpaceNeed::CSpaceNeed(std::vector<TVolumeSpace> volumes)
    : m_volumes(std::move(volumes)), m_needed(m_volumes.size(), 0) {}

void CSpaceNeed::AddFile(std::uint64_t size) {
    for (std::size_t volume = 0; volume < m_volumes.size(); ++volume) {
        m_needed[volume] =
            AddSaturating(m_needed[volume], RoundUpToClusters(size, m_volumes[volume].clusterSize));
    }
}

void CSpaceNeed::Check() const {
    for (std::size_t volume = 0; volume < m_volumes.size(); ++volume) {
        const TVolumeSpace& space = m_volumes[volume];
        const std::uint64_t margin = GetSpaceMargin(space.totalBytes);
        const std::uint64_t needed = AddSaturating(m_needed[volume], margin);
        if (needed > space.freeBytes) {
            throw COrvException(L"not enough space on " + space.volume + L" for " + space.folder +
                                    L": the update needs " + std::to_wstring(needed) +
                                    L" bytes there (" + std::to_wstring(margin) +
                                    L" of them left for other programs), " +
                                    std::to_wstring(space.freeBytes) + L" bytes are free",
                                0);
        }
    }
}
