#include "release/ReleasePacking.h"

#include "core/BinaryPatch.h"
#include "core/NameDecoding.h"
#include "core/NameScreen.h"
#include "core/ZipArchive.h"
#include "core/ZipEntryReader.h"
#include "core/ZipFault.h"
#include "release/ArchiveCheck.h"
#include "release/ArchiveSigning.h"
#include "release/DiskFile.h"
#include "release/MappedFile.h"
#include "release/OutputTarget.h"
#include "release/PatchDiffer.h"
#include "release/PendingFile.h"
#include "release/ReleaseFolder.h"
#include "release/ReproducibleZip.h"
#include "release/ScratchFile.h"
#include "release/SigningKey.h"
#include "release/ToolError.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unordered_map>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t ComparePieceSize = 1 << 20;

// The full update that a partial one is made against, with its files by their exact paths: a
// file whose name changed only in case is packed again, so that it gets its new name.
struct TBase {
    std::shared_ptr<const CZipArchive> archive;
    std::unordered_map<std::u16string, std::size_t> files;
    TReleaseDescription description;
};

void IndexFiles(const CZipArchive& archive, std::size_t folder, const std::u16string& folderPath,
                std::unordered_map<std::u16string, std::size_t>& files) {
    for (const std::size_t child : archive.GetItem(folder).children) {
        const TZipItem& item = archive.GetItem(child);
        if (item.isFolder) {
            IndexFiles(archive, child, folderPath + item.name + u'/', files);
        } else {
            files.emplace(folderPath + item.name, child);
        }
    }
}

// The previous archive, checked as check does, when it can be the base of this version.
std::optional<TBase> ReadBase(const std::string& path, const TReleaseVersion& version,
                              std::vector<std::string>& problems) {
    TArchiveReport report =
        CheckArchive(std::make_unique<CDiskFile>(path, CDiskFile::TAccess::Read));
    for (const std::string& problem : report.problems) {
        problems.push_back(path + ": " + problem);
    }
    if (!report.IsInstallable()) {
        return std::nullopt;
    }
    if (!report.description) {
        problems.push_back(path + ": has no release description, so it is no full update made "
                                  "by pack");
        return std::nullopt;
    }
    const TReleaseDescription& previous = *report.description;
    if (previous.base) {
        problems.push_back(path + ": a partial update (made for version " +
                           FormatReleaseVersion(*previous.base) +
                           "), which does not hold every file of its version");
        return std::nullopt;
    }
    if (version <= previous.version) {
        problems.push_back("version " + FormatReleaseVersion(version) + " is not above version " +
                           FormatReleaseVersion(previous.version) + " of " + path);
        return std::nullopt;
    }
    TBase base;
    base.archive = std::make_shared<const CZipArchive>(
        std::make_shared<CDiskFile>(path, CDiskFile::TAccess::Read));
    IndexFiles(*base.archive, CZipArchive::RootFolder, u"", base.files);
    base.description = previous;
    return base;
}

CToolError BaseChanged(const TReleaseItem& item, const CZipException& fault) {
    // It was read whole before: it changed meanwhile.
    return CToolError("the previous update changed while it was read: " + item.name + ": " +
                      fault.GetReason());
}

std::optional<std::size_t> FindBaseFile(const std::optional<TBase>& base,
                                        const TReleaseItem& item) {
    if (!base) {
        return std::nullopt;
    }
    const auto found = base->files.find(item.path);
    return found == base->files.end() ? std::nullopt : std::optional(found->second);
}

bool IsInstallerAtTop(const TReleaseItem& item) {
    return !item.isFolder && item.path.find(u'/') == std::u16string::npos &&
           IsInstallerName(item.path);
}

// Sizes first; then the bytes, as far as they agree. A CRC of the new file would cost a whole
// read of it as well, where a comparison stops at the first byte that differs.
bool HoldsSameBytes(const TBase& base, std::size_t baseItem, const TReleaseItem& item,
                    std::vector<unsigned char>& mine, std::vector<unsigned char>& theirs) {
    const CDiskFile file(item.diskPath, CDiskFile::TAccess::Read);
    if (base.archive->GetItem(baseItem).size != file.GetSize()) {
        return false;
    }
    try {
        CZipEntryReader reader(base.archive, baseItem);
        for (std::uint64_t offset = 0;;) {
            const std::size_t got = reader.Read(theirs.data(), theirs.size());
            if (got == 0) {
                return true;
            }
            if (!file.ReadAt(offset, mine.data(), got)) {
                throw CToolError("cannot read " + item.diskPath + " to the end");
            }
            if (std::memcmp(mine.data(), theirs.data(), got) != 0) {
                return false;
            }
            offset += got;
        }
    } catch (const CZipException& fault) {
        throw BaseChanged(item, fault);
    }
}

// The base's file whole, for the differ.
CMemoryByteSource ReadBaseFile(const TBase& base, std::size_t baseItem, const TReleaseItem& item) {
    std::vector<unsigned char> bytes(
        static_cast<std::size_t>(base.archive->GetItem(baseItem).size));
    try {
        CZipEntryReader reader(base.archive, baseItem);
        for (std::size_t filled = 0; filled < bytes.size();) {
            const std::size_t got = reader.Read(bytes.data() + filled, bytes.size() - filled);
            if (got == 0) {
                throw CToolError("the previous update changed while it was read: " + item.name);
            }
            filled += got;
        }
    } catch (const CZipException& fault) {
        throw BaseChanged(item, fault);
    }
    return CMemoryByteSource(std::move(bytes));
}

// The updater's applier, given the patch as the archive will hold it, must make exactly the new
// bytes from the old ones; anything else is a fault of the tool, and nothing is written.
void CheckPatch(const CMemoryByteSource& old, const CMappedFile& made, const CByteSource& patch,
                const TReleaseItem& item) {
    const std::vector<unsigned char>& oldBytes = old.GetBytes();
    const std::span<const std::uint8_t> newBytes = made.GetBytes();
    bool same = true;
    try {
        CPatchApplier applier(
            oldBytes.size(),
            [&](std::uint64_t offset, std::span<std::uint8_t> into) {
                std::memcpy(into.data(), oldBytes.data() + offset, into.size());
            },
            [&](std::span<const std::uint8_t> bytes) {
                same = same && bytes.size() <= newBytes.size() - applier.Written() &&
                       std::memcmp(bytes.data(), newBytes.data() + applier.Written(),
                                   bytes.size()) == 0;
            },
            newBytes.size());
        std::vector<std::uint8_t> piece(ComparePieceSize);
        for (std::uint64_t offset = 0; offset < patch.GetSize();) {
            const std::size_t size = static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.size(), patch.GetSize() - offset));
            if (!patch.ReadAt(offset, piece.data(), size)) {
                throw CToolError("cannot read back the patch made for " + item.name);
            }
            applier.Feed({piece.data(), size});
            offset += size;
        }
        applier.Finish();
    } catch (const CZipException& fault) {
        throw CToolError("the patch made for " + item.name +
                         " does not apply to the previous file: " + fault.GetReason());
    }
    if (!same) {
        throw CToolError("the patch made for " + item.name + " does not make the file's bytes");
    }
}

// Where the patches are kept until the archive is written.
struct TPatchEntry {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The changed file's patch against the base's file, kept where its entry is smaller than the
// file's, with its line of the description; a file too large for the differ goes whole.
std::optional<TPatchEntry> MakePatch(const TBase& base, std::size_t baseItem,
                                     const TReleaseItem& item, CScratchFile& scratch,
                                     TPackReport& report) {
    // Mapped, so that the differ holds only the stretch of it that it is at.
    CMappedFile made(item.diskPath);
    if (base.archive->GetItem(baseItem).size > LargestDiffedFile ||
        made.GetSize() > LargestDiffedFile) {
        return std::nullopt;
    }
    const CMemoryByteSource old = ReadBaseFile(base, baseItem, item);
    const std::uint64_t offset = scratch.GetSize();
    DiffFiles(
        old.GetBytes(), made.GetBytes(), [&](std::string_view piece) { scratch.Append(piece); },
        [&](std::uint64_t passed) { made.Release(passed); });
    const CScratchFile::CRange patch(scratch, offset, scratch.GetSize() - offset);
    // The file's deflate stops as soon as it is larger than the patch's, as it mostly is.
    const std::uint64_t patchEntry = CReproducibleZip::MeasureContent(patch, item.name);
    if (CReproducibleZip::MeasureContent(made, item.name, patchEntry) <= patchEntry) {
        scratch.Truncate(offset);
        return std::nullopt;
    }
    // The bytes checked are the bytes hashed: the file is read once more by neither.
    CheckPatch(old, made, patch, item);
    report.description.patches.push_back({item.path, DigestRange(old, old.GetSize()),
                                          DigestRange(made, made.GetSize()), made.GetSize()});
    ++report.patchedFiles;
    report.patchBytes += patch.GetSize();
    report.patchedFileBytes += made.GetSize();
    return TPatchEntry{offset, patch.GetSize()};
}

// Where the path's folder lies in the other folder, packing would take in the tool's own
// output or input of another run.
bool LiesInside(const std::string& folder, const std::string& path) {
    std::error_code outerError;
    std::error_code innerError;
    const fs::path outer = fs::weakly_canonical(folder, outerError);
    const fs::path inner = fs::weakly_canonical(fs::absolute(path).parent_path(), innerError);
    return !outerError && !innerError &&
           std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first ==
               outer.end();
}

// One entry of the archive: an item of the folder, or the description when item is null; a
// file that comes as a patch has it in the scratch file.
struct TPackedEntry {
    std::string name;
    const TReleaseItem* item = nullptr;
    std::optional<TPatchEntry> patch;
};

// The description and every empty folder, and the files: all of them, or those that the base
// does not hold as they are and the installers, the changed ones as patches where that pays;
// in the bytewise order of their names.
std::vector<TPackedEntry> ChooseEntries(const TReleaseFolder& folder,
                                        const std::optional<TBase>& base, bool whole,
                                        CScratchFile& scratch, TPackReport& report) {
    std::vector<TPackedEntry> entries{{EncodeUtf8(ReleaseDescriptionName), nullptr, {}}};
    std::vector<unsigned char> mine(ComparePieceSize);
    std::vector<unsigned char> theirs(ComparePieceSize);
    for (const TReleaseItem& item : folder.items) {
        if (item.isFolder) {
            entries.push_back({item.name, &item, {}});
            continue;
        }
        const std::optional<std::size_t> baseItem = FindBaseFile(base, item);
        const bool changed = !baseItem || !HoldsSameBytes(*base, *baseItem, item, mine, theirs);
        if (!changed && !IsInstallerAtTop(item)) {
            continue;
        }
        TPackedEntry& entry = entries.emplace_back(TPackedEntry{item.name, &item, {}});
        ++report.packedFiles;
        if (changed && baseItem && !whole) {
            entry.patch = MakePatch(*base, *baseItem, item, scratch, report);
        }
    }
    std::sort(
        entries.begin(), entries.end(),
        [](const TPackedEntry& left, const TPackedEntry& right) { return left.name < right.name; });
    return entries;
}

void WriteArchive(const std::vector<TPackedEntry>& entries, const std::string& description,
                  const CScratchFile& scratch, const TPackRequest& request,
                  const CPendingFile& pending) {
    CReproducibleZip zip(pending.GetDescriptor(), pending.GetPath(), request.timestamp);
    for (const TPackedEntry& entry : entries) {
        if (entry.item == nullptr) {
            zip.AddFile(entry.name, CMemoryByteSource(std::vector<unsigned char>(
                                        description.begin(), description.end())));
        } else if (entry.item->isFolder) {
            zip.AddFolder(entry.name);
        } else if (entry.patch) {
            zip.AddFile(entry.name,
                        CScratchFile::CRange(scratch, entry.patch->offset, entry.patch->size));
        } else {
            zip.AddFile(entry.name, CDiskFile(entry.item->diskPath, CDiskFile::TAccess::Read));
        }
    }
    zip.Finish();
}

// Everything that the run reads, none of which the output may be.
CRunInputs ListInputs(const TPackRequest& request, const TReleaseFolder& folder) {
    CRunInputs inputs;
    if (request.previous) {
        inputs.Add(*request.previous, "the previous update given with --from");
    }
    if (request.key != nullptr) {
        inputs.Add(request.key->GetPath(), "the signing key given with --key");
    }
    for (const TReleaseItem& item : folder.items) {
        if (!item.isFolder) {
            inputs.Add(item.identity, "the file " + item.name + " of the release folder");
        }
    }
    return inputs;
}

} // namespace

TPackReport PackRelease(const TPackRequest& request) {
    for (const std::string* path :
         {&request.output, request.previous ? &*request.previous : nullptr}) {
        if (path != nullptr && LiesInside(request.folder, *path)) {
            throw CToolError(*path + " lies inside the release folder " + request.folder +
                             ", which would take it in");
        }
    }
    TPackReport report;
    const TReleaseFolder folder = ScanReleaseFolder(request.folder);
    TOutputCheck output = CheckOutputTarget(request.output, ListInputs(request, folder));
    report.warnings = std::move(output.warnings);
    if (!output.problems.empty()) {
        report.outputProblems = std::move(output.problems);
        return report;
    }
    report.problems = folder.problems;
    std::optional<TBase> base;
    if (request.previous) {
        base = ReadBase(*request.previous, request.version, report.problems);
    }
    if (!report.problems.empty()) {
        return report;
    }

    report.description.version = request.version;
    for (const TReleaseItem& item : folder.items) {
        if (!item.isFolder) {
            report.description.files.push_back(item.path);
        }
    }
    CScratchFile scratch(GetContainingFolder(ResolveWrittenPath(request.output)));
    const std::vector<TPackedEntry> entries =
        ChooseEntries(folder, base, request.whole, scratch, report);
    if (base) {
        report.description.base = base->description.version;
        report.droppedFiles = ListDroppedFiles(base->description, report.description).size();
    }

    CPendingFile pending(request.output);
    WriteArchive(entries, FormatReleaseDescription(report.description), scratch, request, pending);
    const TArchiveReport check =
        CheckArchive(std::make_unique<CDiskFile>(pending.GetPath(), CDiskFile::TAccess::Read));
    if (!check.IsInstallable()) {
        report.problems = check.problems;
        return report;
    }
    if (request.key != nullptr) {
        CDiskFile archive(pending.GetPath(), CDiskFile::TAccess::ReadWrite);
        if (SignArchive(archive, *request.key) != TSignOutcome::Signed) {
            throw CToolError("a fresh archive took no signature: " + pending.GetPath());
        }
    }
    report.archiveSize = fs::file_size(pending.GetPath());
    pending.Commit();
    return report;
}
