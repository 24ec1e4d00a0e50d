#pragma once

#include "install/FileSystemItem.h"

#include <objidl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class CUnzipper;

// The largest piece of a stream held in memory at once.
constexpr unsigned long ChunkSizeLimit = 10485760;
// A patch is read in pieces of at most this size: its records are applied as they come, so a
// larger piece would only hold memory beside the made file's own pieces.
constexpr unsigned long PatchPieceLimit = 1048576;

// Progress of one extraction. The totals come from the counting pass; the done values are
// shared by every level of the walk.
struct TProgressTally {
    int filesDone = 0;
    int fileCount = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
};

// An archive is an update only when its top level holds an EXE or MSI file.
bool HasInstaller(IEnumSTATSTG* enumerator);

// The counting pass shows each file to this, with its path below the archive's top ('/' between
// components) and its declared size, which the reader holds the data to.
using CountedFileHandler = std::function<void(const std::wstring& path, std::uint64_t size)>;

// Both passes go down one level per folder; level is that of the storage's own folder, path its
// path in the archive. A folder deeper than an archive may nest is damage, whatever the archive
// component let through.
void CountElements(IStorage* storage, int& fileCount, std::uint64_t& bytesTotal,
                   const CountedFileHandler& onFile = CountedFileHandler(),
                   const std::wstring& path = std::wstring(), std::size_t level = 0);

// Copies the storage into the folder, depth-first in the archive's order, recording every
// folder and file it writes under the parent item and posting progress to the unzipper. What
// was written before a failure stays on disk and stays recorded. A file that the unzipper's
// release check names as a patch is made from the patch and the installed file, and written as
// a whole one would be; it must come out as the description says, or the archive is damaged.
// path is the storage's own path in the archive, '/' between components.
void ExtractStorage(IStorage* storage, const std::wstring& folder, CFileSystemItem* parentItem,
                    CUnzipper& unzipper, TProgressTally& tally,
                    const std::wstring& path = std::wstring(), std::size_t level = 0);
void ExtractStream(IStorage* storage, const std::wstring& folder, const STATSTG& element,
                   CFileSystemItem* parentItem, CUnzipper& unzipper, TProgressTally& tally,
                   const std::wstring& path = std::wstring());

// Whether the creation worked shows when the first file inside is opened.
void CreateFolderIfMissing(const std::wstring& path);

// Each folder of the archive is new in the extraction folder; one that is there already is
// another name for a folder made before, and the archive is refused as damaged.
void CreateNewFolder(const std::wstring& path);
