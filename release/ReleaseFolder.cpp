#include "release/ReleaseFolder.h"

#include "core/CaseFolding.h"
#include "core/NameDecoding.h"
#include "core/NameScreen.h"
#include "core/ReleaseDescription.h"
#include "release/ArchiveCheck.h"
#include "release/FileDescriptor.h"
#include "release/ToolError.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>

namespace {

// The longest name that a zip entry can carry, in bytes.
constexpr std::size_t LongestEntryName = 0xFFFF;

struct TFolderRelease {
    void operator()(DIR* folder) const { closedir(folder); }
};

} // namespace

std::optional<std::vector<std::string>> ListFolder(const std::string& path) {
    const std::unique_ptr<DIR, TFolderRelease> folder(opendir(path.c_str()));
    if (!folder) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* child = readdir(folder.get());
        if (child == nullptr) {
            if (errno != 0) {
                return std::nullopt;
            }
            break;
        }
        const std::string name = child->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// A name as a terminal can show it: control bytes, and every byte past ASCII in a name that is
// not UTF-8, as \xNN.
std::string Printable(std::string_view bytes) {
    const bool isUtf8 = DecodeUtf8(bytes).has_value();
    std::string shown;
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !isUtf8)) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            shown += escape;
        } else {
            shown += ch;
        }
    }
    return shown;
}

class CFolderScan {
public:
    TReleaseFolder Scan(const std::string& folder) {
        struct stat status {};
        if (stat(folder.c_str(), &status) != 0) {
            ThrowFileError("cannot read", folder);
        }
        if (!S_ISDIR(status.st_mode)) {
            throw CToolError("not a folder: " + folder);
        }
        const std::string top = folder.ends_with('/') ? folder : folder + '/';
        const std::optional<std::vector<std::string>> children = ListFolder(top);
        if (!children) {
            ThrowFileError("cannot list the folder", folder);
        }
        ScanFolder(top, *children, "", u"");
        if (!m_hasInstaller) {
            m_result.problems.insert(m_result.problems.begin(), std::string(NoInstallerProblem));
        }
        std::sort(m_result.items.begin(), m_result.items.end(),
                  [](const TReleaseItem& left, const TReleaseItem& right) {
                      return left.name < right.name;
                  });
        return std::move(m_result);
    }

private:
    // diskFolder ends in '/'; name and path are the folder's own below the release folder, each
    // ending in '/' but at the top.
    void ScanFolder(const std::string& diskFolder, const std::vector<std::string>& children,
                    const std::string& name, const std::u16string& path) {
        if (children.empty() && !name.empty()) {
            m_result.items.push_back({name, path, diskFolder, true, {}});
        }
        for (const std::string& child : children) {
            ScanChild(diskFolder + child, name, path, child);
        }
    }

    void ScanChild(const std::string& diskPath, const std::string& folderName,
                   const std::u16string& folderPath, const std::string& child) {
        const std::string shown = folderName + Printable(child);
        const std::optional<std::u16string> decoded = DecodeUtf8(child);
        if (!decoded) {
            return Refuse(shown, "the name is not UTF-8, so the updater cannot read it");
        }
        struct stat status {};
        if (lstat(diskPath.c_str(), &status) != 0) {
            return RefuseUnreadable(shown);
        }
        if (S_ISLNK(status.st_mode)) {
            return Refuse(shown, "a symbolic link, which pack does not follow: put the file or "
                                 "folder itself there");
        }
        const bool isFolder = S_ISDIR(status.st_mode);
        if (!isFolder && !S_ISREG(status.st_mode)) {
            return Refuse(shown, "neither a file nor a folder");
        }
        const std::u16string path = folderPath + *decoded;
        const std::u16string entryPath = isFolder ? path + u'/' : path;
        // One component: the screen of a path would read '\', which on Linux is part of a name,
        // as a separator. Then the path, against the limits of its length and depth.
        TNameFault fault = CheckNameComponent(std::u16string_view(*decoded));
        if (fault == TNameFault::None) {
            fault = ScreenEntryName(entryPath).fault;
        }
        if (fault != TNameFault::None) {
            return Refuse(shown,
                          std::string("a name the updater refuses: ") + DescribeNameFault(fault));
        }
        const std::string name = EncodeUtf8(entryPath);
        if (name.size() > LongestEntryName) {
            return Refuse(shown.substr(0, 60) + "...",
                          "a path of more than 65535 bytes, which no zip entry can hold");
        }
        if (folderPath.empty()) {
            if (IsReleaseDescriptionName(*decoded)) {
                return Refuse(shown, "pack writes the release description itself: take this "
                                     "one out of the folder");
            }
            m_hasInstaller = m_hasInstaller || (!isFolder && IsInstallerName(*decoded));
        }
        const auto [first, isNew] = m_folded.try_emplace(FoldCase(path), shown);
        if (!isNew) {
            return Refuse(shown,
                          "the same name as " + first->second + " to Windows, which ignores case");
        }
        if (isFolder) {
            const std::optional<std::vector<std::string>> children = ListFolder(diskPath + '/');
            if (!children) {
                return RefuseUnreadable(shown);
            }
            ScanFolder(diskPath + '/', *children, name, entryPath);
        } else {
            // pack reads every file whole later; one that cannot be read is named now, with all
            // the others, rather than alone once the archive is half written.
            const CFileDescriptor file(open(diskPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (file.Get() < 0) {
                return RefuseUnreadable(shown);
            }
            m_result.items.push_back({name, path, diskPath, false, {status.st_dev, status.st_ino}});
        }
    }

    // errno still holds the reason.
    void RefuseUnreadable(const std::string& shown) {
        const int error = errno;
        Refuse(shown, std::string("cannot be read: ") + std::strerror(error));
    }

    void Refuse(const std::string& shown, const std::string& why) {
        m_result.problems.push_back(shown + ": " + why);
    }

    TReleaseFolder m_result;
    // Each folded path with the name of the first item that had it.
    std::unordered_map<std::u16string, std::string> m_folded;
    bool m_hasInstaller = false;
};

} // namespace

TReleaseFolder ScanReleaseFolder(const std::string& folder) {
    return CFolderScan().Scan(folder);
}
