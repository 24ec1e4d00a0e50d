#include "release/ArchiveCheck.h"

#include "core/BinaryPatch.h"
#include "core/LittleEndian.h"
#include "core/NameDecoding.h"
#include "core/NameScreen.h"
#include "core/ZipArchive.h"
#include "core/ZipEntryReader.h"
#include "core/ZipFault.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::size_t ReadBufferSize = 1 << 20;

bool HasInstallerAtTop(const CZipArchive& archive) {
    for (const std::size_t child : archive.GetItem(CZipArchive::RootFolder).children) {
        const TZipItem& item = archive.GetItem(child);
        if (!item.isFolder && IsInstallerName(item.name)) {
            return true;
        }
    }
    return false;
}

// The description's text, read as far as the parser needs to refuse an oversized one; nothing
// when the entry cannot be read, which reading every file then reports.
std::optional<std::string> ReadDescriptionText(const std::shared_ptr<const CZipArchive>& archive,
                                               std::size_t item) {
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(
                         archive->GetItem(item).size, LargestReleaseDescription + 1)),
                     '\0');
    try {
        CZipEntryReader reader(archive, item);
        for (std::size_t filled = 0; filled < text.size();) {
            const std::size_t got = reader.Read(text.data() + filled, text.size() - filled);
            if (got == 0) {
                return std::nullopt;
            }
            filled += got;
        }
    } catch (const CZipException&) {
        return std::nullopt;
    }
    return text;
}

// Reads the top level's description, if there is one, and notes why it does not parse.
void ReadDescription(const std::shared_ptr<const CZipArchive>& archive, TArchiveReport& report) {
    const std::optional<std::size_t> item =
        archive->FindChild(CZipArchive::RootFolder, ReleaseDescriptionName);
    if (!item || archive->GetItem(*item).isFolder) {
        return;
    }
    const std::optional<std::string> text = ReadDescriptionText(archive, *item);
    if (!text) {
        return;
    }
    TReleaseParse parsed = ParseReleaseDescription(*text);
    if (!parsed.description) {
        report.problems.push_back(EncodeUtf8(archive->GetItem(*item).name) +
                                  ": not a release description the updater reads: " + parsed.fault);
        return;
    }
    report.description = std::move(parsed.description);
}

// Feeds the patch to the applier against an old file of zeros, of the size that the patch's own
// header gives: everything but the base's bytes is checked as the updater checks it.
void ParsePatch(CZipEntryReader& reader, const TFilePatch& patch,
                std::vector<unsigned char>& buffer) {
    std::size_t filled = 0;
    for (std::size_t got = 1; filled < PatchHeaderSize && got != 0; filled += got) {
        got = reader.Read(buffer.data() + filled, buffer.size() - filled);
    }
    // The old size follows the magic and the format number.
    const std::uint64_t oldSize =
        filled >= PatchHeaderSize ? LoadUInt64(buffer.data() + PatchMagic.size() + 4) : 0;
    CPatchApplier applier(
        oldSize,
        [](std::uint64_t, std::span<std::uint8_t> into) {
            std::fill(into.begin(), into.end(), std::uint8_t{0});
        },
        [](std::span<const std::uint8_t>) {}, patch.size);
    for (; filled != 0; filled = reader.Read(buffer.data(), buffer.size())) {
        applier.Feed({buffer.data(), filled});
    }
    applier.Finish();
}

// Reads each file below the folder to its end, in the order the updater unpacks them, and
// notes every entry that the reader refuses; the others are still read. Each file is claimed
// from the description's listing, when there is one.
void ReadFiles(const std::shared_ptr<const CZipArchive>& archive, std::size_t folder,
               const std::u16string& folderPath, std::vector<unsigned char>& buffer,
               CReleaseListing* listing, TArchiveReport& report) {
    for (const std::size_t child : archive->GetItem(folder).children) {
        const TZipItem& item = archive->GetItem(child);
        const std::u16string path = folderPath + item.name;
        if (item.isFolder) {
            ReadFiles(archive, child, path + u'/', buffer, listing, report);
            continue;
        }
        ++report.fileCount;
        if (listing != nullptr) {
            listing->Claim(path);
        }
        const TFilePatch* patch = listing != nullptr ? listing->FindPatch(path) : nullptr;
        try {
            CZipEntryReader reader(archive, child);
            if (patch != nullptr) {
                report.patches.push_back({EncodeUtf8(path), item.size, patch->size});
                ParsePatch(reader, *patch, buffer);
            } else {
                while (reader.Read(buffer.data(), buffer.size()) != 0) {
                }
            }
        } catch (const CZipException& fault) {
            report.problems.push_back(EncodeUtf8(path) + ": " + fault.GetReason());
        }
    }
}

// The archive as a whole, its installer at the top and its description; null where the
// reader refuses it as a whole.
std::shared_ptr<const CZipArchive> OpenArchive(std::unique_ptr<CByteSource> source,
                                               TArchiveReport& report) {
    std::shared_ptr<const CZipArchive> archive;
    try {
        archive = std::make_shared<const CZipArchive>(std::move(source));
    } catch (const CZipException& fault) {
        report.problems.push_back("archive refused as a whole: " + fault.Describe());
        return nullptr;
    }
    if (!HasInstallerAtTop(*archive)) {
        report.problems.emplace_back(NoInstallerProblem);
    }
    ReadDescription(archive, report);
    return archive;
}

} // namespace

TArchiveReport ReadArchiveDescription(std::unique_ptr<CByteSource> source) {
    TArchiveReport report;
    OpenArchive(std::move(source), report);
    return report;
}

TArchiveReport CheckArchive(std::unique_ptr<CByteSource> source) {
    TArchiveReport report;
    const std::shared_ptr<const CZipArchive> archive = OpenArchive(std::move(source), report);
    if (!archive) {
        return report;
    }
    std::optional<CReleaseListing> listing;
    if (report.description) {
        listing.emplace(*report.description);
    }
    std::vector<unsigned char> buffer(ReadBufferSize);
    ReadFiles(archive, CZipArchive::RootFolder, u"", buffer, listing ? &*listing : nullptr, report);
    if (listing) {
        if (const std::optional<std::string> fault = listing->GetFault()) {
            report.problems.push_back(*fault);
        }
    }
    return report;
}
