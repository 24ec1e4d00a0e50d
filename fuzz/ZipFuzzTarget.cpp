// Opens arbitrary bytes as an archive, lists every folder and reads every file to its end, and
// reads the signature block of its comment. Refusals are expected; crashes, sanitizer reports
// and broken invariants are findings. No two entries that the reader accepts share a byte, and
// reading an entry touches only its own data.
#include "zip/core/NameScreen.h"
#include "zip/core/SignatureBlock.h"
#include "zip/core/ZipArchive.h"
#include "zip/core/ZipEntryReader.h"
#include "zip/core/ZipFault.h"

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
};

void Claim(TFuzzRun& run, const TZipItem& item) {
    const std::uint64_t end = item.dataOffset + item.compressedSize;
    Require(item.localHeaderOffset < item.dataOffset && end <= run.claimed.size());
    for (std::uint64_t at = item.localHeaderOffset; at < end; ++at) {
        Require(!run.claimed[at]);
        run.claimed[at] = true;
    }
}

void ReadToEnd(TFuzzRun& run, std::size_t index) {
    const std::shared_ptr<const CZipArchive>& archive = run.archive;
    std::vector<unsigned char>& buffer = run.buffer;
    const TZipItem& item = archive->GetItem(index);
    run.source->Allow(item.dataOffset, item.dataOffset + item.compressedSize);
    try {
        CZipEntryReader reader(archive, index);
        for (std::size_t turn = 0; reader.GetPosition() < ReadLimitPerEntry; ++turn) {
            const std::size_t size = ReadSizes[std::min(turn, ReadSizes.size() - 1)];
            const std::size_t got = reader.Read(buffer.data(), size);
            Require(got <= size);
            // A short read only ever happens at the verified end.
            Require(got == size || reader.IsFinished());
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
          std::size_t folderPathLength) {
    const std::shared_ptr<const CZipArchive>& archive = run.archive;
    for (const std::size_t child : archive->GetItem(folder).children) {
        const TZipItem& item = archive->GetItem(child);
        Require(IsSafeNameComponent(item.name));
        Require(archive->FindChild(folder, item.name) == child);
        const std::size_t pathLength =
            folderPathLength + (folderLevel == 0 ? 0 : 1) + item.name.size();
        Require(pathLength <= LongestArchivePath);
        if (item.hasEntry) {
            Claim(run, item);
        }
        if (item.isFolder) {
            Require(folderLevel < DeepestFolderLevel);
            Walk(run, child, folderLevel + 1, pathLength);
        } else {
            ReadToEnd(run, child);
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto source =
        std::make_shared<const CWatchedSource>(std::vector<unsigned char>(data, data + size));
    CheckSignatureBlock(*source);
    TFuzzRun run;
    run.source = source.get();
    try {
        run.archive = std::make_shared<const CZipArchive>(source);
    } catch (const CZipException&) {
        return 0;
    }
    run.claimed.resize(size);
    run.buffer.resize(ReadSizes.back());
    Walk(run, CZipArchive::RootFolder, 0, 0);
    return 0;
}
