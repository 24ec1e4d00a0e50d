#pragma once

#include "core/ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One file or folder of the archive. Folders that only appear inside other paths have no
// entry of their own and carry nothing but their name and children.
struct TZipItem {
    std::u16string name; // one path component, already screened
    bool isFolder = false;
    bool hasEntry = false; // described by a central directory entry of its own
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t localHeaderOffset = 0;
    std::uint64_t dataOffset = 0;      // past the local header, name and extra field
    std::size_t parent = 0;            // index of the folder that holds the item
    std::vector<std::size_t> children; // item indices, in central directory order
};

// The archive's folder tree, read from the central directory once, with every entry's local
// header. Everything that makes the archive unusable as a whole (a broken directory, unsafe or
// duplicate names, entries that claim data outside the file or bytes of another entry) is
// refused here with a CZipException.
class CZipArchive {
public:
    static constexpr std::size_t RootFolder = 0;

    // The source may be shared with whoever else reads the same bytes.
    explicit CZipArchive(std::shared_ptr<const CByteSource> source);
    CZipArchive(const CZipArchive&) = delete;
    CZipArchive& operator=(const CZipArchive&) = delete;
    virtual ~CZipArchive() = default;

    const TZipItem& GetItem(std::size_t index) const { return m_items[index]; }
    // The child of the folder with this name, compared without case as Windows does.
    std::optional<std::size_t> FindChild(std::size_t folder, std::u16string_view name) const;

    // The item's path below the root, '/' between its components; empty for the root.
    std::u16string GetPath(std::size_t index) const;

    const CByteSource& GetSource() const { return *m_source; }

private:
    static std::size_t HashChild(std::size_t folder, std::u16string_view foldedName);
    std::optional<std::size_t> FindFoldedChild(std::size_t folder,
                                               std::u16string_view foldedName) const;
    // The index of the entry's item; RootFolder when the entry names the root itself.
    std::size_t AddEntry(TZipItem entry, std::u16string_view name);
    void CheckBackupNames(std::size_t folder, std::u16string_view name) const;
    std::size_t AddChild(std::size_t folder, std::u16string_view name, TZipItem&& item,
                         bool& added);

    std::shared_ptr<const CByteSource> m_source;
    std::vector<TZipItem> m_items;
    // Item indices by a hash of their folder and folded name. The names are compared on a match
    // instead of being held a second time, which an archive of many small files would pay for
    // as long as it is open.
    std::unordered_multimap<std::size_t, std::size_t> m_children;
};
