#pragma once

#include "core/ReleaseDescription.h"

#include <objidl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Whether an update may go over what the application directory holds, by the release
// descriptions of both: never to a lower version, a partial update only over the version it was
// made for, and in a build that demands signatures no update without a description once the
// directory has one, since such an archive cannot show that it is not older. An accepted update
// also removes the files of the installed version that its own no longer lists. A partial
// update may bring files as patches against the installed ones, which must then be exactly the
// base version's. Used on the unpacker's worker, before anything is written; read by the driver
// once the worker has ended.
class CReleaseCheck {
public:
    // Reads the application directory's description, as the last update installed it. Where
    // there is none, or it does not parse or cannot be read, the installed version is unknown.
    CReleaseCheck(const std::wstring& applicationFolder, bool demandsSignatures);
    // The installed description's text, or nothing where the directory has none; the folder
    // holds the installed files that patches apply to.
    CReleaseCheck(const std::optional<std::string>& installedText, bool demandsSignatures,
                  const std::wstring& applicationFolder);
    CReleaseCheck(const CReleaseCheck&) = delete;
    CReleaseCheck& operator=(const CReleaseCheck&) = delete;
    virtual ~CReleaseCheck();

    // The description at the top of the archive, read through the reader; nothing when the
    // archive holds none. A description that does not parse makes the archive damaged: throws
    // COrvException with the reason.
    void SetUpdateDescription(std::optional<std::string> text);
    // Every file of the archive, at its path below the archive's top, '\' or '/' between
    // components, with its size in the archive. Returns the patch that the file is, or null
    // where it comes whole.
    const TFilePatch* AddArchiveFile(std::wstring_view path, std::uint64_t size);
    // Once every file is added. Throws COrvException, naming both versions, when the update is
    // refused, and with the reason when the archive contradicts its description. A patched file
    // that the application directory does not hold as the base version has it refuses the
    // update too: only the full archive can bring that file.
    void Decide();

    // Once the description is set: the patch that the archive's file at the path is, or null
    // where the file comes whole.
    const TFilePatch* FindPatch(std::wstring_view path) const;
    // The installed file that the patch applies to.
    std::wstring GetInstalledPath(const TFilePatch& patch) const;

    // Once decided: the files that the update removes, relative to the application directory.
    const std::vector<std::wstring>& GetRemovals() const { return m_removals; }
    // The log's line on both versions; empty where neither side has a description.
    std::wstring Describe() const;

private:
    void TakeInstalled(const std::optional<std::string>& text);
    // Throws the refusal for the first patched file that is not the base version's.
    void CheckPatchBases() const;
    // There is a description in the directory, whether or not it can be read.
    bool HasInstalled() const { return m_installed || !m_installedFault.empty(); }
    std::wstring DescribeInstalled() const;

    bool m_demandsSignatures;
    std::wstring m_applicationFolder;
    std::optional<TReleaseDescription> m_installed;
    std::string m_installedFault; // why the directory's description gives no version
    std::optional<TReleaseDescription> m_update;
    std::unique_ptr<CReleaseListing> m_listing;
    std::vector<std::wstring> m_removals;
    std::uint64_t m_patchBytes = 0; // the patch streams, as the entries inflate to
};

// The release description at the top of the archive, read through the reader, which checks its
// CRC; nothing when the archive holds none. Throws COrvException for one larger than any
// description may be, and the unzip failure when it cannot be read.
std::optional<std::string> ReadReleaseDescription(IStorage* archiveRoot);
