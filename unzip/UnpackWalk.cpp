#include "unzip/UnpackWalk.h"

#include "common/Buffers.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Handle.h"
#include "common/PathHelpers.h"
#include "common/PieceQueue.h"
#include "common/Sha256.h"
#include "common/TextHelpers.h"
#include "core/BinaryPatch.h"
#include "core/NameScreen.h"
#include "core/ZipFault.h"
#include "unzip/ArchiveAccess.h"
#include "unzip/ReleaseCheck.h"
#include "unzip/Unzipper.h"
#include "zip/FileByteSource.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>

namespace {

void PostTally(CUnzipper& unzipper, const TProgressTally& tally) {
    TUnpackingUpdateRequest request;
    request.Assign(tally.filesDone, tally.fileCount, tally.bytesDone, tally.bytesTotal);
    unzipper.PostProgress(request);
}

// In the reader's words for the same name, so that the log says the same whichever refused it.
[[noreturn]] void ThrowNameRefused(const wchar_t* name, TNameFault fault) {
    const std::string_view reason = DescribeNameFault(fault);
    ThrowUnzipError(std::wstring(name) + L": " + std::wstring(reason.begin(), reason.end()));
}

// The archive component already refuses unsafe names; a name that could still leave the
// folder or alias a device must never reach the file system.
std::wstring JoinElementName(const std::wstring& folder, const wchar_t* name) {
    if (const TNameFault fault = CheckNameComponent(std::wstring_view(name));
        fault != TNameFault::None) {
        ThrowNameRefused(name, fault);
    }
    return JoinPath(folder, name);
}

std::size_t NextLevel(std::size_t level, const wchar_t* name) {
    if (level >= DeepestFolderLevel) {
        ThrowNameRefused(name, TNameFault::TooDeep);
    }
    return level + 1;
}

std::wstring JoinArchivePath(const std::wstring& folder, const wchar_t* name) {
    return folder.empty() ? std::wstring(name) : folder + L'/' + name;
}

DWORD ChunkSizeFor(std::uint64_t size, DWORD limit = ChunkSizeLimit) {
    return static_cast<DWORD>(std::min<std::uint64_t>(size, limit));
}

// Reads the stream to its end a chunk at a time, each into the buffer that next gives, and
// hands what the read delivered to write.
template <class Next, class Write>
void CopyChunks(IStream* stream, DWORD chunkSize, CUnzipper& unzipper, TProgressTally& tally,
                Next next, Write write) {
    for (;;) {
        BYTE* buffer = next();
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, chunkSize, &read);
        CheckHResult(hr, stream, IID_ISequentialStream);
        if (read > chunkSize) {
            ThrowUnzipError();
        }
        write(read);
        tally.bytesDone += read;
        PostTally(unzipper, tally);
        // A stream that keeps answering S_OK without data would otherwise never end the copy.
        if (hr != S_OK || read == 0) {
            break;
        }
    }
}

bool WriteChunk(const CFileHandle& file, const void* bytes, std::size_t size) {
    DWORD written = 0;
    std::wstring errorText;
    return WriteBufferToFile(file, bytes, static_cast<DWORD>(size), written, errorText);
}

// Each chunk is written before the next one is read.
void CopyThroughOneBuffer(IStream* stream, const CFileHandle& file, DWORD chunkSize,
                          CUnzipper& unzipper, TProgressTally& tally) {
    std::unique_ptr<BYTE[]> holder;
    BYTE* buffer = AllocZeroedBuffer(holder, static_cast<int>(chunkSize));
    CopyChunks(
        stream, chunkSize, unzipper, tally, [buffer] { return buffer; },
        [&](ULONG read) {
            if (!WriteChunk(file, buffer, read)) {
                ThrowUnzipError();
            }
        });
}

// The next chunk is inflated into one buffer while the last one is written from the other, on a
// thread of its own, in the order they come. Whatever way this returns, everything read before
// is written, as it would be through one buffer.
void CopyBesideTheWrites(IStream* stream, const CFileHandle& file, DWORD chunkSize,
                         CUnzipper& unzipper, TProgressTally& tally) {
    CPieceQueue writing([&file](const unsigned char* bytes,
                                std::size_t size) { return WriteChunk(file, bytes, size); },
                        chunkSize, 2);
    try {
        CopyChunks(
            stream, chunkSize, unzipper, tally,
            [&writing] {
                unsigned char* piece = writing.Take();
                if (piece == nullptr) {
                    ThrowUnzipError();
                }
                return piece;
            },
            [&writing](ULONG read) {
                if (!writing.Hand(read)) {
                    ThrowUnzipError();
                }
            });
    } catch (...) {
        writing.Finish();
        throw;
    }
    if (!writing.Finish()) {
        ThrowUnzipError();
    }
}

// The made file's bytes, gathered into the writing queue's pieces, each handed on once full, so
// that the writes are the chunks a whole file's would be.
class CPieceFiller {
public:
    explicit CPieceFiller(CPieceQueue& queue) : m_queue(queue) {}
    CPieceFiller(const CPieceFiller&) = delete;
    CPieceFiller& operator=(const CPieceFiller&) = delete;
    virtual ~CPieceFiller() = default;

    void Add(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            if (m_piece == nullptr) {
                m_piece = m_queue.Take();
                if (m_piece == nullptr) {
                    ThrowUnzipError();
                }
                m_filled = 0;
            }
            const std::size_t part = std::min(bytes.size(), m_queue.GetPieceSize() - m_filled);
            std::memcpy(m_piece + m_filled, bytes.data(), part);
            m_filled += part;
            bytes = bytes.subspan(part);
            if (m_filled == m_queue.GetPieceSize()) {
                HandPiece();
            }
        }
    }

    // Hands on the piece begun, if any.
    void End() {
        if (m_piece != nullptr) {
            HandPiece();
        }
    }

private:
    void HandPiece() {
        m_piece = nullptr;
        if (!m_queue.Hand(m_filled)) {
            ThrowUnzipError();
        }
    }

    CPieceQueue& m_queue;
    unsigned char* m_piece = nullptr;
    std::size_t m_filled = 0;
};

// Makes the file from the patch that the stream holds and the installed file, as it reads the
// patch: the made bytes go through the two buffers of CopyBesideTheWrites and are hashed on the
// writing thread before each write, since applying the patch (inflating it, checking its CRC,
// reading the old file) already takes the reading thread's time. A patch that the applier
// refuses, or a made file whose SHA-256 is not the description's, is a damaged archive named
// after the entry.
void CopyThroughPatch(IStream* stream, const CFileHandle& file, const STATSTG& element,
                      const TFilePatch& patch, const std::wstring& basePath,
                      const std::wstring& entryPath, CUnzipper& unzipper, TProgressTally& tally) {
    std::unique_ptr<CByteSource> base;
    if (const HRESULT opened = OpenFileByteSource(basePath, base); FAILED(opened)) {
        ThrowUnzipError(entryPath + L": the installed file that it patches cannot be opened");
    }
    CSha256 sha256;
    CPieceQueue writing(
        [&](const unsigned char* bytes, std::size_t size) {
            sha256.Add(bytes, size);
            return WriteChunk(file, bytes, size);
        },
        std::max<DWORD>(ChunkSizeFor(patch.size), 1), 2);
    CPieceFiller filler(writing);
    CPatchApplier applier(
        base->GetSize(),
        [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            if (!base->ReadAt(offset, into.data(), into.size())) {
                ThrowUnzipError(entryPath + L": the installed file that it patches cannot be read");
            }
        },
        [&filler](std::span<const std::uint8_t> bytes) { filler.Add(bytes); }, patch.size);
    const DWORD pieceSize =
        std::max<DWORD>(ChunkSizeFor(element.cbSize.QuadPart, PatchPieceLimit), 1);
    std::unique_ptr<BYTE[]> holder;
    BYTE* piece = AllocZeroedBuffer(holder, static_cast<int>(pieceSize));
    try {
        CopyChunks(
            stream, pieceSize, unzipper, tally, [piece] { return piece; },
            [&](ULONG read) { applier.Feed(std::span<const std::uint8_t>(piece, read)); });
        applier.Finish();
        filler.End();
    } catch (const CZipException& fault) {
        writing.Finish();
        ThrowUnzipError(entryPath + L": " + FromUtf8(fault.GetReason()));
    } catch (...) {
        writing.Finish();
        throw;
    }
    // Once the queue has finished, its thread has ended: the hash is this thread's again.
    if (!writing.Finish()) {
        ThrowUnzipError();
    }
    if (sha256.Finish() != patch.to) {
        ThrowUnzipError(entryPath + L": the patch made a file other than the one that the "
                                    L"release description names");
    }
}

} // namespace

bool HasInstaller(IEnumSTATSTG* enumerator) {
    bool found = false;
    ForEachElement(enumerator, [&found](const STATSTG& element) {
        if (element.type == STGTY_STREAM && IsInstallerName(element.pwcsName)) {
            found = true;
        }
    });
    return found;
}

void CountElements(IStorage* storage, int& fileCount, std::uint64_t& bytesTotal,
                   const CountedFileHandler& onFile, const std::wstring& path, std::size_t level) {
    const CComPointer<IEnumSTATSTG> elements = EnumerateElements(storage);
    ForEachElement(elements.Get(), [&](const STATSTG& element) {
        if (element.type == STGTY_STREAM) {
            ++fileCount;
            bytesTotal += element.cbSize.QuadPart;
            if (onFile) {
                onFile(JoinArchivePath(path, element.pwcsName), element.cbSize.QuadPart);
            }
        } else if (element.type == STGTY_STORAGE) {
            const std::size_t subLevel = NextLevel(level, element.pwcsName);
            const CComPointer<IStorage> subStorage = OpenSubStorage(storage, element.pwcsName);
            CountElements(subStorage.Get(), fileCount, bytesTotal, onFile,
                          onFile ? JoinArchivePath(path, element.pwcsName) : std::wstring(),
                          subLevel);
        }
    });
}

void ExtractStorage(IStorage* storage, const std::wstring& folder, CFileSystemItem* parentItem,
                    CUnzipper& unzipper, TProgressTally& tally, const std::wstring& path,
                    std::size_t level) {
    const CComPointer<IEnumSTATSTG> elements = EnumerateElements(storage);
    ForEachElement(elements.Get(), [&](const STATSTG& element) {
        if (element.type == STGTY_STREAM) {
            ExtractStream(storage, folder, element, parentItem, unzipper, tally, path);
        } else if (element.type == STGTY_STORAGE) {
            const std::size_t subLevel = NextLevel(level, element.pwcsName);
            const std::wstring subFolder = JoinElementName(folder, element.pwcsName);
            CreateNewFolder(subFolder);
            CFileSystemItem* child = parentItem->AddChild(subFolder, false);
            const CComPointer<IStorage> subStorage = OpenSubStorage(storage, element.pwcsName);
            ExtractStorage(subStorage.Get(), subFolder, child, unzipper, tally,
                           JoinArchivePath(path, element.pwcsName), subLevel);
        }
    });
}

void ExtractStream(IStorage* storage, const std::wstring& folder, const STATSTG& element,
                   CFileSystemItem* parentItem, CUnzipper& unzipper, TProgressTally& tally,
                   const std::wstring& path) {
    const CComPointer<IStream> stream = OpenElementStream(storage, element.pwcsName);
    const std::wstring filePath = JoinElementName(folder, element.pwcsName);
    CFileHandle file;
    std::wstring errorText;
    if (!OpenFileForWriting(file, filePath, errorText)) {
        ThrowUnzipError();
    }
    // Recorded before the first byte, so that a failure further on still leaves it removable.
    parentItem->AddChild(filePath, true);

    const std::wstring entryPath = JoinArchivePath(path, element.pwcsName);
    const CReleaseCheck* release = unzipper.GetReleaseCheck();
    const TFilePatch* patch = release != nullptr ? release->FindPatch(entryPath) : nullptr;
    const DWORD chunkSize = ChunkSizeFor(element.cbSize.QuadPart);
    if (patch != nullptr) {
        CopyThroughPatch(stream.Get(), file, element, *patch, release->GetInstalledPath(*patch),
                         entryPath, unzipper, tally);
    } else if (chunkSize != 0) {
        // A stream that takes more than one chunk is worth a thread that writes beside the reads.
        if (element.cbSize.QuadPart > chunkSize) {
            CopyBesideTheWrites(stream.Get(), file, chunkSize, unzipper, tally);
        } else {
            CopyThroughOneBuffer(stream.Get(), file, chunkSize, unzipper, tally);
        }
    }
    unzipper.SettleFile(std::move(file));
    ++tally.filesDone;
    PostTally(unzipper, tally);
}

void CreateFolderIfMissing(const std::wstring& path) {
    if (!PathExists(path)) {
        CreateDirectoryW(ToExtendedLengthPath(path).c_str(), nullptr);
    }
}

void CreateNewFolder(const std::wstring& path) {
    if (!CreateDirectoryW(ToExtendedLengthPath(path).c_str(), nullptr)) {
        ThrowUnzipError();
    }
}
