#include "core/ZipArchive.h"

#include "core/CaseFolding.h"
#include "core/CentralDirectory.h"
#include "core/EntrySpans.h"
#include "core/LittleEndian.h"
#include "core/NameDecoding.h"
#include "core/NameScreen.h"
#include "core/ZipFault.h"
#include "core/ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <functional>
#include <limits>

namespace {

// The host system in the high byte of "version made by".
constexpr std::uint8_t UnixHost = 3;
constexpr std::uint8_t MacOsHost = 19;

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The body of the first extra field with this id. A malformed tail ends the search quietly:
// some writers pad the extra block with bytes that are no field at all.
std::optional<std::string_view> FindExtraField(std::string_view extra, std::uint16_t id) {
    while (extra.size() >= 4) {
        const std::uint16_t fieldId = LoadUInt16(Bytes(extra));
        const std::uint16_t length = LoadUInt16(Bytes(extra) + 2);
        if (extra.size() - 4 < length) {
            return std::nullopt;
        }
        if (fieldId == id) {
            return extra.substr(4, length);
        }
        extra.remove_prefix(4 + static_cast<std::size_t>(length));
    }
    return std::nullopt;
}

// The Zip64 field holds, in this order, only those values that the entry saturated.
class CZip64Values {
public:
    explicit CZip64Values(std::optional<std::string_view> field) : m_field(field) {}

    void Replace(std::uint64_t& value, std::size_t width) {
        if (!m_field || m_field->size() < width) {
            ThrowDamaged("Zip64 extra field missing or short");
        }
        value = width == 8 ? LoadUInt64(Bytes(*m_field)) : LoadUInt32(Bytes(*m_field));
        m_field->remove_prefix(width);
    }

private:
    std::optional<std::string_view> m_field;
};

std::u16string RequireUtf8(std::string_view bytes) {
    std::optional<std::u16string> decoded = DecodeUtf8(bytes);
    if (!decoded) {
        ThrowDamaged("name is not valid UTF-8");
    }
    return std::move(*decoded);
}

// A Unicode path field that still matches the stored name (its CRC-32) was written with it and
// wins whatever bit 11 says, as in Info-ZIP's unzip, so a writer's unusable stored name (bad
// UTF-8, `?` for what its code page lacked) costs nothing. Then bit 11 means UTF-8. Without it,
// Info-ZIP's zip on Unix and macOS stores the bytes the file system gave it, which are UTF-8
// there; elsewhere, and for bytes that cannot be UTF-8, the name is in CP437. (Plain ASCII
// reads the same either way.)
std::u16string DecodeName(std::string_view stored, std::uint16_t flags, std::uint8_t host,
                          std::string_view extra) {
    if (const auto field = FindExtraField(extra, UnicodePathExtraId);
        field && field->size() >= 5 && (*field)[0] == 1 &&
        LoadUInt32(Bytes(*field) + 1) ==
            crc32(0, Bytes(stored), static_cast<uInt>(stored.size()))) {
        return RequireUtf8(field->substr(5));
    }
    if ((flags & Utf8NameFlag) != 0) {
        return RequireUtf8(stored);
    }
    if (host == UnixHost || host == MacOsHost) {
        if (std::optional<std::u16string> decoded = DecodeUtf8(stored)) {
            return std::move(*decoded);
        }
    }
    return DecodeCp437(stored);
}

// Reads the central directory entry at position and moves position past it; name receives
// the entry's decoded full name, storedName its bytes as stored.
TZipItem ReadEntry(std::string_view directory, std::size_t& position, std::u16string& name,
                   std::string_view& storedName) {
    if (directory.size() - position < CentralEntrySize) {
        ThrowDamaged("central directory cut short");
    }
    const unsigned char* fixed = Bytes(directory) + position;
    if (LoadUInt32(fixed) != CentralEntrySignature) {
        ThrowDamaged("central directory entry expected");
    }
    const std::size_t nameLength = LoadUInt16(fixed + 28);
    const std::size_t extraLength = LoadUInt16(fixed + 30);
    const std::size_t commentLength = LoadUInt16(fixed + 32);
    const std::size_t variableStart = position + CentralEntrySize;
    if (directory.size() - variableStart < nameLength + extraLength + commentLength) {
        ThrowDamaged("central directory cut short");
    }
    storedName = directory.substr(variableStart, nameLength);
    const std::string_view extra = directory.substr(variableStart + nameLength, extraLength);
    position = variableStart + nameLength + extraLength + commentLength;

    TZipItem item;
    item.flags = LoadUInt16(fixed + 8);
    item.method = LoadUInt16(fixed + 10);
    item.crc = LoadUInt32(fixed + 16);
    item.compressedSize = LoadUInt32(fixed + 20);
    item.size = LoadUInt32(fixed + 24);
    item.localHeaderOffset = LoadUInt32(fixed + 42);
    std::uint64_t disk = LoadUInt16(fixed + 34);

    // A name that cannot be decoded is shown with each of its bytes as a character.
    name = NamingEntry([storedName] { return DecodeCp437(storedName); },
                       [&] {
                           return DecodeName(storedName, item.flags,
                                             static_cast<std::uint8_t>(LoadUInt16(fixed + 4) >> 8),
                                             extra);
                       });

    CZip64Values zip64(FindExtraField(extra, Zip64ExtraId));
    if (item.size == Saturated32) {
        zip64.Replace(item.size, 8);
    }
    if (item.compressedSize == Saturated32) {
        zip64.Replace(item.compressedSize, 8);
    }
    if (item.localHeaderOffset == Saturated32) {
        zip64.Replace(item.localHeaderOffset, 8);
    }
    if (disk == Saturated16) {
        zip64.Replace(disk, 4);
    }
    if (disk != 0) {
        ThrowDamaged("entry on another disk");
    }
    return item;
}

} // namespace

std::size_t CZipArchive::HashChild(std::size_t folder, std::u16string_view foldedName) {
    const std::size_t nameHash = std::hash<std::u16string_view>{}(foldedName);
    return nameHash ^
           (std::hash<std::size_t>{}(folder) + 0x9e3779b9 + (nameHash << 6) + (nameHash >> 2));
}

CZipArchive::CZipArchive(std::shared_ptr<const CByteSource> source) : m_source(std::move(source)) {
    const TCentralDirectory directory = LocateCentralDirectory(*m_source);
    if (directory.size > std::numeric_limits<std::size_t>::max()) {
        ThrowDamaged("central directory too large");
    }
    std::string bytes(static_cast<std::size_t>(directory.size), '\0');
    if (!m_source->ReadAt(directory.offset, bytes.data(), bytes.size())) {
        throw CZipException(ZipFault::ReadFailed, "the central directory cannot be read");
    }

    const std::uint64_t expected =
        std::min<std::uint64_t>(directory.entryCount, bytes.size() / CentralEntrySize);
    m_items.reserve(static_cast<std::size_t>(expected) + 1);
    m_children.reserve(static_cast<std::size_t>(expected));
    m_items.emplace_back().isFolder = true;

    std::vector<TEntrySpan> spans;
    spans.reserve(static_cast<std::size_t>(expected));
    std::size_t position = 0;
    std::u16string name;
    std::string_view storedName;
    while (position < bytes.size()) {
        // A fault before the entry's name is known is the directory's.
        name.clear();
        TZipItem item = NamingEntry([&name] { return name; },
                                    [&] { return ReadEntry(bytes, position, name, storedName); });
        TEntrySpan& span = spans.emplace_back();
        span.headerOffset = item.localHeaderOffset;
        span.compressedSize = item.compressedSize;
        span.size = item.size;
        span.crc = item.crc;
        span.flags = item.flags;
        span.storedName = storedName;
        span.item =
            NamingEntry([&name] { return name; }, [&] { return AddEntry(std::move(item), name); });
    }
    const bool countMatches = directory.countIsExact
                                  ? spans.size() == directory.entryCount
                                  : (spans.size() & 0xFFFF) == directory.entryCount;
    if (!countMatches) {
        ThrowDamaged("entry count differs from the end record");
    }
    // Entry data ends where the central directory starts.
    PlaceEntries(*m_source, directory.offset, spans, [this](const TEntrySpan& span) {
        // An entry that names the extraction folder itself, such as "./", has no path.
        if (span.item == RootFolder) {
            return DecodeCp437(span.storedName);
        }
        std::u16string path = GetPath(span.item);
        if (m_items[span.item].isFolder) {
            path += u'/';
        }
        return path;
    });
    // A folder entry that confirms a folder implied before it sets its offsets only here.
    for (const TEntrySpan& span : spans) {
        m_items[span.item].localHeaderOffset = span.headerOffset;
        m_items[span.item].dataOffset = span.dataOffset;
    }
}

std::u16string CZipArchive::GetPath(std::size_t index) const {
    std::u16string path;
    for (std::size_t at = index; at != RootFolder; at = m_items[at].parent) {
        path.insert(0, m_items[at].name);
        if (m_items[at].parent != RootFolder) {
            path.insert(0, 1, u'/');
        }
    }
    return path;
}

std::optional<std::size_t> CZipArchive::FindChild(std::size_t folder,
                                                  std::u16string_view name) const {
    return FindFoldedChild(folder, FoldCase(name));
}

std::optional<std::size_t> CZipArchive::FindFoldedChild(std::size_t folder,
                                                        std::u16string_view foldedName) const {
    const auto [first, last] = m_children.equal_range(HashChild(folder, foldedName));
    for (auto candidate = first; candidate != last; ++candidate) {
        const TZipItem& item = m_items[candidate->second];
        if (item.parent == folder && FoldCase(item.name) == foldedName) {
            return candidate->second;
        }
    }
    return std::nullopt;
}

// Walks the entry's path down from the root, creating the folders that the path implies; an
// explicit folder entry may only confirm a folder that was implied before it. An entry that
// names the root itself adds nothing.
std::size_t CZipArchive::AddEntry(TZipItem entry, std::u16string_view name) {
    const TScreenedPath screened = ScreenEntryName(name);
    if (screened.fault != TNameFault::None) {
        ThrowDamaged(DescribeNameFault(screened.fault));
    }
    std::u16string_view path = screened.path;
    if (path.empty()) {
        return RootFolder;
    }
    entry.isFolder = path.back() == u'/';
    entry.hasEntry = true;
    if (entry.isFolder) {
        path.remove_suffix(1);
    }
    std::size_t folder = RootFolder;
    for (;;) {
        const std::size_t slash = path.find(u'/');
        const std::u16string_view component = path.substr(0, slash);
        bool added = false;
        if (slash == std::u16string_view::npos) {
            const bool isFolder = entry.isFolder;
            const std::size_t index = AddChild(folder, component, std::move(entry), added);
            TZipItem& item = m_items[index];
            if (!added && !(isFolder && item.isFolder && !item.hasEntry)) {
                ThrowDamaged("the same name as " + EncodeUtf8(GetPath(index)) +
                             ", as Windows compares names (ignoring case)");
            }
            item.hasEntry = true;
            if (!isFolder) {
                CheckBackupNames(folder, component);
            }
            return index;
        }
        TZipItem implied;
        implied.isFolder = true;
        folder = AddChild(folder, component, std::move(implied), added);
        if (!m_items[folder].isFolder) {
            ThrowDamaged("a file and a folder share a name");
        }
        path.remove_prefix(slash + 1);
    }
}

// An update that carries a file under its own and its backup name would have one take the
// other's place while it is installed, so it cannot be installed or undone as it is.
void CZipArchive::CheckBackupNames(std::size_t folder, std::u16string_view name) const {
    const auto isFile = [this, folder](std::u16string_view sibling) {
        const std::optional<std::size_t> found = FindChild(folder, sibling);
        return found && !m_items[*found].isFolder;
    };
    const bool endsInSuffix =
        name.size() > BackupSuffix.size() &&
        FoldCase(name.substr(name.size() - BackupSuffix.size())) == FoldCase(BackupSuffix);
    if (isFile(std::u16string(name) + std::u16string(BackupSuffix)) ||
        (endsInSuffix && isFile(name.substr(0, name.size() - BackupSuffix.size())))) {
        ThrowDamaged("a file and its backup name");
    }
}

std::size_t CZipArchive::AddChild(std::size_t folder, std::u16string_view name, TZipItem&& item,
                                  bool& added) {
    const std::u16string folded = FoldCase(name);
    if (const std::optional<std::size_t> existing = FindFoldedChild(folder, folded)) {
        added = false;
        return *existing;
    }
    added = true;
    const std::size_t index = m_items.size();
    item.name = name;
    item.parent = folder;
    m_items.push_back(std::move(item));
    m_items[folder].children.push_back(index);
    m_children.emplace(HashChild(folder, folded), index);
    return index;
}
