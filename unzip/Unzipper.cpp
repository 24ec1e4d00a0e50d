#include "unzip/Unzipper.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Handle.h"
#include "common/PathHelpers.h"
#include "common/ScopeGuards.h"
#include "common/TextHelpers.h"
#include "unzip/ArchiveAccess.h"
#include "unzip/ArchiveSignature.h"
#include "unzip/ReleaseCheck.h"
#include "unzip/SpaceCheck.h"
#include "unzip/UnpackWalk.h"

#include <process.h>

#include <exception>

namespace {

const wchar_t* const GeneralFailureText = L"Failed to unzip the upgrage files.";

// Every file is flushed and closed before Unpack ends, on every way out, so that nothing holds
// them when they are moved or removed.
class CSettlingScope {
public:
    explicit CSettlingScope(std::optional<CBackgroundQueue<CFileHandle>>& queue) : m_queue(queue) {}
    CSettlingScope(const CSettlingScope&) = delete;
    CSettlingScope& operator=(const CSettlingScope&) = delete;
    virtual ~CSettlingScope() { m_queue.reset(); }

private:
    std::optional<CBackgroundQueue<CFileHandle>>& m_queue;
};

void RequireValidSignature(TSignatureVerdict verdict) {
    if (verdict != TSignatureVerdict::Valid) {
        throw COrvException(
            L"the archive's signature: " + FromUtf8(GetSignatureVerdictText(verdict)), 0);
    }
}

} // namespace

void TUnpackingUpdateRequest::Assign(int filesDone, int fileCount, std::uint64_t bytesDone,
                                     std::uint64_t bytesTotal) {
    this->filesDone = filesDone;
    this->fileCount = fileCount;
    this->bytesDone = bytesDone;
    this->bytesTotal = bytesTotal;
}

CUnzipper::CUnzipper()
    : m_ending(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_rootItem(L"", false),
      m_uncaughtAtConstruction(std::uncaught_exceptions()) {}

CUnzipper::~CUnzipper() noexcept(false) {
    // An unpacker destroyed while a failure unwinds must not replace that failure (which would
    // end the process); the owner reports the failure already under way.
    if (std::uncaught_exceptions() > m_uncaughtAtConstruction) {
        try {
            m_rootItem.Remove();
        } catch (...) {
        }
        return;
    }
    m_rootItem.Remove();
}

void CUnzipper::SetArchivePath(const std::wstring& path) {
    m_archivePath = path;
}

void CUnzipper::SetAcceptedKeys(std::span<const TUpdateKey> keys) {
    m_acceptedKeys = keys;
}

void CUnzipper::SetDestinationFolder(const std::wstring& path) {
    m_destinationFolder = path;
}

void CUnzipper::SetApplicationFolder(const std::wstring& path) {
    m_applicationFolder = path;
}

void CUnzipper::SetReleaseCheck(CReleaseCheck* check) {
    m_releaseCheck = check;
}

void CUnzipper::Start() {
    m_busy.store(true, std::memory_order_release);
    const CObjectHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &UnpackThreadProc, this, 0, nullptr)));
    if (!thread.IsValid()) {
        // Nobody else would ever clear the flag, and the owner must see a failed unpack.
        SetErrorText(GeneralFailureText);
        m_busy.store(false, std::memory_order_release);
    }
}

bool CUnzipper::IsBusy() const {
    return m_busy.load(std::memory_order_acquire);
}

void CUnzipper::WaitWhileBusy(DWORD milliseconds) const {
    if (!IsBusy()) {
        return;
    }
    // Without the event, the whole time is slept, as a plain poll would.
    if (!m_ending.IsValid()) {
        Sleep(milliseconds);
        return;
    }
    if (WaitForSingleObject(m_ending.Get(), milliseconds) == WAIT_OBJECT_0) {
        // The flag follows the event by a few instructions.
        while (IsBusy()) {
            SwitchToThread();
        }
    }
}

CFileSystemItem* CUnzipper::GetRootItem() {
    return &m_rootItem;
}

const std::wstring& CUnzipper::GetErrorText() const {
    return m_errorText;
}

void CUnzipper::SetErrorText(std::wstring_view text, std::wstring_view cause) noexcept {
    m_failed = true;
    try {
        m_errorText.assign(text);
    } catch (...) {
        m_errorText.clear();
    }
    try {
        m_errorCause.assign(cause);
    } catch (...) {
        m_errorCause.clear();
    }
}

void CUnzipper::PostProgress(const TUnpackingUpdateRequest& request) {
    CCriticalSectionGuard lock(&m_progressLock);
    m_progress.push_back(request);
}

std::list<TUnpackingUpdateRequest> CUnzipper::GetProgressCopy() const {
    CCriticalSectionGuard lock(&m_progressLock);
    return m_progress;
}

TUnpackingUpdateRequest CUnzipper::GetLatestProgress() const {
    CCriticalSectionGuard lock(&m_progressLock);
    return m_progress.empty() ? TUnpackingUpdateRequest() : m_progress.back();
}

void CUnzipper::SettleFile(CFileHandle file) {
    if (m_settling) {
        m_settling->Add(std::move(file));
    } else if (!FlushAndCloseFile(file)) {
        ThrowUnzipError();
    }
}

bool CUnzipper::Unpack() {
    constexpr std::uint64_t allBits = ~std::uint64_t{0};
    TUnpackingUpdateRequest start;
    start.Assign(-1, -1, allBits, allBits);
    PostProgress(start);

    // Held from before the check until everything is read.
    const std::shared_ptr<const CByteSource> archive = OpenHeldArchive(m_archivePath);
    if (m_acceptedKeys.empty()) {
        return UnpackFrom(archive);
    }
    CArchiveSignatureCheck signature(archive, m_acceptedKeys);
    RequireValidSignature(signature.GetEarlyVerdict());
    bool unpacked = false;
    try {
        unpacked = UnpackFrom(signature.GetReadingSource(), &signature);
    } catch (...) {
        // An archive that is not the one signed fails for that reason, whatever the reader or
        // the unpack met first.
        RequireValidSignature(signature.Finish());
        throw;
    }
    // Nothing unpacked counts until the digest of what was read matches the signature.
    RequireValidSignature(signature.Finish());
    return unpacked;
}

bool CUnzipper::UnpackFrom(const std::shared_ptr<const CByteSource>& archive,
                           CArchiveSignatureCheck* signature) {
    // The references go innermost first and the archive object last.
    CComPointer<IPersistFile> persistFile;
    const CComPointer<IStorage> rootStorage = OpenArchive(m_archivePath, archive, persistFile);
    const CComPointer<IEnumSTATSTG> topLevel = EnumerateElements(rootStorage.Get());
    if (!HasInstaller(topLevel.Get())) {
        return false;
    }

    const std::wstring destination = m_destinationFolder;
    const CComPointer<IStorage> countingStorage = QueryStorage(persistFile.Get());
    TProgressTally tally;
    std::wstring destinationParent;
    GetDirectoryPart(destination, destinationParent);
    CSpaceNeed need({destinationParent, m_applicationFolder});
    if (m_releaseCheck != nullptr) {
        m_releaseCheck->SetUpdateDescription(ReadReleaseDescription(rootStorage.Get()));
    }
    CountElements(countingStorage.Get(), tally.fileCount, tally.bytesTotal,
                  [&](const std::wstring& path, std::uint64_t size) {
                      const TFilePatch* patch = m_releaseCheck != nullptr
                                                    ? m_releaseCheck->AddArchiveFile(path, size)
                                                    : nullptr;
                      // A patch takes the room of the file it makes.
                      need.AddFile(patch != nullptr ? patch->size : size);
                  });
    TUnpackingUpdateRequest counted;
    counted.Assign(0, tally.fileCount, 0, tally.bytesTotal);
    PostProgress(counted);

    // Decided before anything is written, as is whether the update fits: a refusal leaves the
    // disk as it was for every other program too.
    if (m_releaseCheck != nullptr) {
        m_releaseCheck->Decide();
    }
    need.Check();
    CreateFolderIfMissing(destination);
    m_rootItem.Set(destination, false);
    // Flushing a file costs a disk round trip, which the next file's inflating hides.
    {
        m_settling.emplace([this](CFileHandle& file) {
            if (!FlushAndCloseFile(file)) {
                m_unflushed = true;
            }
        });
        const CSettlingScope settling(m_settling);
        if (signature != nullptr) {
            signature->BeginDigest();
        }
        ExtractStorage(rootStorage.Get(), destination, &m_rootItem, *this, tally);
    }
    if (m_unflushed) {
        ThrowUnzipError();
    }
    return true;
}

unsigned __stdcall CUnzipper::UnpackThreadProc(void* unzipper) {
    CUnzipper* self = static_cast<CUnzipper*>(unzipper);
    // Armed first, so that clearing the flag is the worker's very last action.
    COnOffGuard busy(&self->m_busy, self->m_ending.Get());
    try {
        CComGuard com;
        self->Unpack();
    } catch (const COrvException& failure) {
        self->SetErrorText(failure.GetText(), failure.GetCause());
    } catch (...) {
        self->SetErrorText(GeneralFailureText);
    }
    return 0;
}
