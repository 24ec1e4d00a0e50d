// Opens arbitrary bytes as an archive, lists every folder and reads every file to its end, and
// reads the signature block of its comment. Refusals are expected; crashes, sanitizer reports
// and broken invariants are findings.
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

void ReadToEnd(const std::shared_ptr<const CZipArchive>& archive, std::size_t index,
               std::vector<unsigned char>& buffer) {
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
void Walk(const std::shared_ptr<const CZipArchive>& archive, std::size_t folder,
          std::size_t folderLevel, std::size_t folderPathLength,
          std::vector<unsigned char>& buffer) {
    for (const std::size_t child : archive->GetItem(folder).children) {
        const TZipItem& item = archive->GetItem(child);
        Require(IsSafeNameComponent(item.name));
        Require(archive->FindChild(folder, item.name) == child);
        const std::size_t pathLength =
            folderPathLength + (folderLevel == 0 ? 0 : 1) + item.name.size();
        Require(pathLength <= LongestArchivePath);
        if (item.isFolder) {
            Require(folderLevel < DeepestFolderLevel);
            Walk(archive, child, folderLevel + 1, pathLength, buffer);
        } else {
            ReadToEnd(archive, child, buffer);
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
        std::make_unique<CMemoryByteSource>(std::vector<unsigned char>(data, data + size));
    CheckSignatureBlock(*source);
    std::shared_ptr<const CZipArchive> archive;
    try {
        archive = std::make_shared<const CZipArchive>(std::move(source));
    } catch (const CZipException&) {
        return 0;
    }
    std::vector<unsigned char> buffer(ReadSizes.back());
    Walk(archive, CZipArchive::RootFolder, 0, 0, buffer);
    return 0;
}
