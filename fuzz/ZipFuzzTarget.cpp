// Opens arbitrary bytes as an archive, lists every folder and reads every file to its end, and
// reads the signature block of its comment and the release description, both the input's own
// bytes taken for one and the archive's. Refusals are expected; crashes, sanitizer reports
// and broken invariants are findings. No two entries that the reader accepts share a byte, and
// reading an entry touches only its own data.
#include "core/CaseFolding.h"
#include "core/NameScreen.h"
#include "core/ReleaseDescription.h"
#include "core/SignatureBlock.h"
#include "core/ZipArchive.h"
#include "core/ZipEntryReader.h"
#include "core/ZipFault.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace {

// Declared sizes may be huge; past this the reader has shown what it does with the entry.
constexpr std::uint64_t ReadLimitPerEntry = 16 * 1024 * 1024;
// Small reads first, to cross block and stream boundaries at odd places, then large ones.
constexpr std::array<std::size_t, 4> ReadSizes = {1, 7, 4093, 256 * 1024};

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The input, with the bytes that reads may touch while one entry is read.
class CWatchedSource : public CMemoryByteSource {
public:
    using CMemoryByteSource::CMemoryByteSource;

    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        Require(offset >= m_first && offset <= m_end && m_end - offset >= size);
        return CMemoryByteSource::ReadAt(offset, buffer, size);
    }
    void Allow(std::uint64_t first, std::uint64_t end) const {
        m_first = first;
        m_end = end;
    }

private:
    mutable std::uint64_t m_first = 0;
    mutable std::uint64_t m_end = UINT64_MAX;
};

struct TFuzzRun {
    std::shared_ptr<const CZipArchive> archive;
    const CWatchedSource* source = nullptr;
    std::vector<bool> claimed; // the bytes of the entries seen so far
    std::vector<unsigned char> buffer;
    std::vector<std::u16string> filePaths;
    std::string description; // the archive's release description, as far as it was read
    bool describes = false;
};

void Claim(TFuzzRun& run, const TZipItem& item) {
    const std::uint64_t end = item.dataOffset + item.compressedSize;
    Require(item.localHeaderOffset < item.dataOffset && end <= run.claimed.size());
    for (std::uint64_t at = item.localHeaderOffset; at < end; ++at) {
        Require(!run.claimed[at]);
        run.claimed[at] = true;
    }
}

void ReadToEnd(TFuzzRun& run, std::size_t index, bool isDescription) {
    const std::shared_ptr<const CZipArchive>& archive = run.archive;
    std::vector<unsigned char>& buffer = run.buffer;
    const TZipItem& item = archive->GetItem(index);
    run.describes = run.describes || isDescription;
    run.source->Allow(item.dataOffset, item.dataOffset + item.compressedSize);
    try {
        CZipEntryReader reader(archive, index);
        for (std::size_t turn = 0; reader.GetPosition() < ReadLimitPerEntry; ++turn) {
            const std::size_t size = ReadSizes[std::min(turn, ReadSizes.size() - 1)];
            const std::size_t got = reader.Read(buffer.data(), size);
            Require(got <= size);
            // A short read only ever happens at the verified end.
            Require(got == size || reader.IsFinished());
            if (isDescription) {
                run.description.append(buffer.begin(), buffer.begin() + got);
            }
            if (reader.IsFinished()) {
                Require(reader.GetPosition() == archive->GetItem(index).size);
                Require(reader.Read(buffer.data(), size) == 0);
                return;
            }
        }
    } catch (const CZipException&) {
    } catch (const std::bad_alloc&) {
    }
}

// Every item's name is safe, and its path (of this length, in a folder this deep) keeps to the
// limits that the reader promises.
void Walk(TFuzzRun& run, std::size_t folder, std::size_t folderLevel,
          const std::u16string& folderPath) {
    const std::shared_ptr<const CZipArchive>& archive = run.archive;
    const std::size_t folderPathLength = folderPath.size();
    for (const std::size_t child : archive->GetItem(folder).children) {
        const TZipItem& item = archive->GetItem(child);
        Require(IsSafeNameComponent(item.name));
        const std::u16string path = folderPath + (folderLevel == 0 ? u"" : u"/") + item.name;
        Require(archive->FindChild(folder, item.name) == child);
        // Found by its name in any letter case, as Windows would find the file.
        Require(archive->FindChild(folder, FoldCase(item.name)) == child);
        const std::size_t pathLength =
            folderPathLength + (folderLevel == 0 ? 0 : 1) + item.name.size();
        Require(pathLength <= LongestArchivePath && path.size() == pathLength);
        if (item.hasEntry) {
            Claim(run, item);
        }
        if (item.isFolder) {
            Require(folderLevel < DeepestFolderLevel);
            Walk(run, child, folderLevel + 1, path);
        } else {
            run.filePaths.push_back(path);
            ReadToEnd(run, child, folderLevel == 0 && IsReleaseDescriptionName(item.name));
        }
    }
}

// The signed range ends inside the file, before the comment; a block the parser accepts ends the
// file and reads back as the very comment it came from, so that each signature has one spelling.
void CheckSignatureBlock(const CByteSource& source) {
    try {
        const TSignedRange range = LocateSignedRange(source);
        Require(range.length <= source.GetSize() - 2 - range.comment.size());
        TSignatureBlock block;
        if (ParseSignatureBlock(range, block) == TSignatureFault::None) {
            Require(range.commentEndsFile);
            Require(FormatSignatureBlock(block) == range.comment);
        }
    } catch (const CZipException&) {
    }
}

// A description that the parser accepts lists only names that the screen keeps as they are, and
// reads back the same from its own spelling. The listing of the archive's files against it
// gives a verdict either way.
void CheckReleaseDescription(std::string_view text, const std::vector<std::u16string>& files) {
    const TReleaseParse parse = ParseReleaseDescription(text);
    Require(parse.description.has_value() == parse.fault.empty());
    if (!parse.description) {
        return;
    }
    Require(!parse.description->files.empty());
    for (const std::u16string& file : parse.description->files) {
        Require(ScreenEntryPath(file) == file && !IsReleaseDescriptionName(file));
    }
    // Patches only in a partial update, each of a listed file, spelled as listed.
    Require(parse.description->patches.empty() || parse.description->base);
    for (const TFilePatch& patch : parse.description->patches) {
        Require(std::find(parse.description->files.begin(), parse.description->files.end(),
                          patch.name) != parse.description->files.end());
    }
    const std::string spelled = FormatReleaseDescription(*parse.description);
    Require(ParseReleaseDescription(spelled).description == parse.description);
    CReleaseListing listing(*parse.description);
    for (const std::u16string& file : files) {
        listing.Claim(file);
    }
    listing.GetFault();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto source =
        std::make_shared<const CWatchedSource>(std::vector<unsigned char>(data, data + size));
    CheckSignatureBlock(*source);
    CheckReleaseDescription(std::string_view(reinterpret_cast<const char*>(data), size), {});
    TFuzzRun run;
    run.source = source.get();
    try {
        run.archive = std::make_shared<const CZipArchive>(source);
    } catch (const CZipException&) {
        return 0;
    }
    run.claimed.resize(size);
    run.buffer.resize(ReadSizes.back());
    Walk(run, CZipArchive::RootFolder, 0, u"");
    if (run.describes) {
        CheckReleaseDescription(run.description, run.filePaths);
    }
    return 0;
}
