#pragma once

#include "common/BackgroundQueue.h"
#include "common/CriticalSection.h"
#include "common/Handle.h"
#include "core/ByteSource.h"
#include "install/FileSystemItem.h"
#include "unzip/UpdateKeys.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

class CReleaseCheck;

// One step of progress of an unpacking run.
struct TUnpackingUpdateRequest {
    TUnpackingUpdateRequest() = default;
    virtual ~TUnpackingUpdateRequest() = default;

    void Assign(int filesDone, int fileCount, std::uint64_t bytesDone, std::uint64_t bytesTotal);

    int filesDone = 0;
    int fileCount = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
};

class CArchiveSignatureCheck;

// Unpacks one update archive into one folder on a worker thread of its own, recording every
// file and folder it writes so that whatever is left of them is removed with the unpacker.
class CUnzipper {
public:
    CUnzipper();
    CUnzipper(const CUnzipper&) = delete;
    CUnzipper& operator=(const CUnzipper&) = delete;
    // Removes what is left of the extraction. A file that cannot be removed is reported by
    // throwing CFileSystemItemException, unless another exception is already unwinding.
    virtual ~CUnzipper() noexcept(false);

    void SetArchivePath(const std::wstring& path);
    // With keys, the archive must carry a valid signature by one of them before anything is
    // unpacked; without, it is not checked. The keys outlive the unpacker.
    void SetAcceptedKeys(std::span<const TUpdateKey> keys);
    void SetDestinationFolder(const std::wstring& path);
    // The folder the update goes to: its volume must have room for the update as well as the
    // destination's, which is checked before anything is written.
    void SetApplicationFolder(const std::wstring& path);
    // Where given, the worker reads the archive's release description and has the check decide
    // on it before anything is written; a refusal is a failed unpack. The check outlives the
    // unpacker's run and is read by the owner once the unpacker is not busy.
    void SetReleaseCheck(CReleaseCheck* check);
    // The unpack walk's view of it, to find the files that come as patches; null without one.
    const CReleaseCheck* GetReleaseCheck() const { return m_releaseCheck; }

    // Called once. The unpacker stays busy until the worker has ended; if the worker cannot be
    // started, it is not busy afterwards and holds an error text.
    void Start();
    bool IsBusy() const;
    // Returns once the worker has ended, or after the given time at the latest: the owner that
    // polls the flag need not sleep on after the worker's end.
    void WaitWhileBusy(DWORD milliseconds) const;

    // Read only while the unpacker is not busy.
    CFileSystemItem* GetRootItem();
    // Whether the worker ended with a failure; its text, which is empty only when there was no
    // memory left even for that.
    bool HasFailed() const { return m_failed; }
    const std::wstring& GetErrorText() const;
    // What the failure's exception knew of its cause (COrvException::GetCause); often empty.
    const std::wstring& GetErrorCause() const { return m_errorCause; }

    // Marks the run failed, with the text and its cause as far as memory allows; never throws,
    // so that the worker's last handlers cannot end the process.
    void SetErrorText(std::wstring_view text, std::wstring_view cause = {}) noexcept;
    void PostProgress(const TUnpackingUpdateRequest& request);
    std::list<TUnpackingUpdateRequest> GetProgressCopy() const;
    // The last record posted; all fields 0 before the first.
    TUnpackingUpdateRequest GetLatestProgress() const;

    // Takes a completely written file to be flushed to the disk and closed. While Unpack runs,
    // that happens beside the further unpacking, and Unpack waits for it at the end; a file
    // that cannot be flushed fails the unpack.
    void SettleFile(CFileHandle file);

    // The whole run: false when the archive carries no installer at its top level.
    bool Unpack();

    static unsigned __stdcall UnpackThreadProc(void* unzipper);

private:
    // With a signature, its digest begins with the extraction.
    bool UnpackFrom(const std::shared_ptr<const CByteSource>& archive,
                    CArchiveSignatureCheck* signature = nullptr);

    std::list<TUnpackingUpdateRequest> m_progress;
    mutable CCriticalSection m_progressLock;
    std::atomic<bool> m_busy{false};
    // Set by the worker right before it clears the flag.
    CObjectHandle m_ending;
    std::wstring m_archivePath;
    std::span<const TUpdateKey> m_acceptedKeys;
    std::wstring m_destinationFolder;
    std::wstring m_applicationFolder;
    CReleaseCheck* m_releaseCheck = nullptr;
    std::wstring m_errorText;
    std::wstring m_errorCause;
    bool m_failed = false;
    CFileSystemItem m_rootItem;
    std::optional<CBackgroundQueue<CFileHandle>> m_settling;
    std::atomic<bool> m_unflushed{false};
    int m_uncaughtAtConstruction;
};
