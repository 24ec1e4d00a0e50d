#include "core/CentralDirectory.h"

#include "core/LittleEndian.h"
#include "core/ZipFault.h"
#include "core/ZipFormat.h"

#include <algorithm>
#include <vector>

namespace {

void ReadExactly(const CByteSource& source, std::uint64_t offset, void* buffer, std::size_t size) {
    if (!source.ReadAt(offset, buffer, size)) {
        throw CZipException(ZipFault::ReadFailed, "the end records cannot be read");
    }
}

// The last signature whose record and comment fit in the tail; searching from the end skips
// signatures that happen to sit in the data before.
std::size_t FindEndRecordIn(const std::vector<unsigned char>& tail) {
    for (std::size_t at = tail.size() - EndRecordSize + 1; at-- > 0;) {
        const unsigned char* record = tail.data() + at;
        if (LoadUInt32(record) == EndSignature &&
            LoadUInt16(record + EndRecordCommentLengthAt) <= tail.size() - at - EndRecordSize) {
            return at;
        }
    }
    ThrowDamaged("no end of central directory record");
}

// The Zip64 locator sits right before the end record when there is one.
bool ReadZip64Locator(const CByteSource& source, std::uint64_t endOffset,
                      unsigned char (&locator)[Zip64LocatorSize]) {
    if (endOffset < Zip64LocatorSize) {
        return false;
    }
    ReadExactly(source, endOffset - Zip64LocatorSize, locator, sizeof locator);
    return LoadUInt32(locator) == Zip64LocatorSignature;
}

// Reads the Zip64 end record that the locator names; gives the offset where it starts, which
// is where the central directory must end.
std::uint64_t ReadZip64EndRecord(const CByteSource& source, const unsigned char* locator,
                                 std::uint64_t locatorOffset, TCentralDirectory& directory) {
    const std::uint64_t recordOffset = LoadUInt64(locator + 8);
    if (LoadUInt32(locator + 4) != 0 || LoadUInt32(locator + 16) > 1) {
        ThrowDamaged("archive spans several disks");
    }
    if (recordOffset > locatorOffset || locatorOffset - recordOffset < Zip64EndRecordSize) {
        ThrowDamaged("Zip64 end record outside the file");
    }
    unsigned char record[Zip64EndRecordSize];
    ReadExactly(source, recordOffset, record, sizeof record);
    if (LoadUInt32(record) != Zip64EndSignature) {
        ThrowDamaged("Zip64 end record missing");
    }
    if (LoadUInt32(record + 16) != 0 || LoadUInt32(record + 20) != 0 ||
        LoadUInt64(record + 24) != LoadUInt64(record + 32)) {
        ThrowDamaged("archive spans several disks");
    }
    directory.entryCount = LoadUInt64(record + 32);
    directory.size = LoadUInt64(record + 40);
    directory.offset = LoadUInt64(record + 48);
    directory.countIsExact = true;
    return recordOffset;
}

} // namespace

TEndRecord FindEndRecord(const CByteSource& source) {
    const std::uint64_t fileSize = source.GetSize();
    if (fileSize < EndRecordSize) {
        ThrowDamaged("too short for an archive");
    }
    const std::size_t tailSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, EndRecordSize + LongestComment));
    std::vector<unsigned char> tail(tailSize);
    const std::uint64_t tailOffset = fileSize - tailSize;
    ReadExactly(source, tailOffset, tail.data(), tailSize);

    const std::size_t endAt = FindEndRecordIn(tail);
    TEndRecord end;
    end.offset = tailOffset + endAt;
    std::copy_n(tail.begin() + static_cast<std::ptrdiff_t>(endAt), EndRecordSize,
                end.fields.begin());
    const auto commentStart = tail.begin() + static_cast<std::ptrdiff_t>(endAt + EndRecordSize);
    end.comment.assign(commentStart,
                       commentStart + LoadUInt16(end.fields.data() + EndRecordCommentLengthAt));
    return end;
}

TCentralDirectory LocateCentralDirectory(const CByteSource& source) {
    const TEndRecord endRecord = FindEndRecord(source);
    const unsigned char* end = endRecord.fields.data();
    TCentralDirectory directory;
    std::uint64_t directoryLimit = endRecord.offset;
    unsigned char locator[Zip64LocatorSize];
    if (ReadZip64Locator(source, endRecord.offset, locator)) {
        directoryLimit =
            ReadZip64EndRecord(source, locator, directoryLimit - Zip64LocatorSize, directory);
    } else {
        if (LoadUInt16(end + 4) != 0 || LoadUInt16(end + 6) != 0 ||
            LoadUInt16(end + 8) != LoadUInt16(end + 10)) {
            ThrowDamaged("archive spans several disks");
        }
        directory.entryCount = LoadUInt16(end + 10);
        directory.size = LoadUInt32(end + 12);
        directory.offset = LoadUInt32(end + 16);
    }
    if (directory.offset > directoryLimit || directoryLimit - directory.offset < directory.size) {
        ThrowDamaged("central directory outside the file");
    }
    return directory;
}
