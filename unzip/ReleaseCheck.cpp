#include "unzip/ReleaseCheck.h"

#include "common/ComPointer.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/PathHelpers.h"
#include "common/Sha256.h"
#include "common/SystemErrors.h"
#include "common/TextHelpers.h"
#include "zip/FileByteSource.h"

#include <windows.h>

namespace {

std::wstring ToWide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}

// Archive paths have '/' between their components, Windows paths '\'.
template <class Text> Text WithSeparator(Text path, typename Text::value_type separator) {
    for (auto& ch : path) {
        if (ch == '/' || ch == '\\') {
            ch = separator;
        }
    }
    return path;
}

[[noreturn]] void Refuse(const std::wstring& why) {
    throw COrvException(L"the update is refused" + why, 0);
}

std::wstring VersionText(const TReleaseVersion& version) {
    return FromUtf8(FormatReleaseVersion(version));
}

std::wstring DescribeReadError(DWORD error) {
    return error == ERROR_FILE_TOO_LARGE ? FromUtf8(DescribeOversizedDescription())
                                         : L"cannot be read: " + DescribeSystemError(error);
}

} // namespace

CReleaseCheck::CReleaseCheck(const std::wstring& applicationFolder, bool demandsSignatures)
    : m_demandsSignatures(demandsSignatures), m_applicationFolder(applicationFolder) {
    std::string text;
    const DWORD error = ReadWholeFile(JoinPath(applicationFolder, ToWide(ReleaseDescriptionName)),
                                      text, LargestReleaseDescription);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return;
    }
    if (error != ERROR_SUCCESS) {
        m_installedFault = ToUtf8(DescribeReadError(error));
        return;
    }
    TakeInstalled(text);
}

CReleaseCheck::CReleaseCheck(const std::optional<std::string>& installedText,
                             bool demandsSignatures, const std::wstring& applicationFolder)
    : m_demandsSignatures(demandsSignatures), m_applicationFolder(applicationFolder) {
    TakeInstalled(installedText);
}

CReleaseCheck::~CReleaseCheck() = default;

void CReleaseCheck::TakeInstalled(const std::optional<std::string>& text) {
    if (!text) {
        return;
    }
    TReleaseParse parse = ParseReleaseDescription(*text);
    m_installed = std::move(parse.description);
    m_installedFault = std::move(parse.fault);
}

void CReleaseCheck::SetUpdateDescription(std::optional<std::string> text) {
    if (!text) {
        return;
    }
    TReleaseParse parse = ParseReleaseDescription(*text);
    if (!parse.description) {
        throw COrvException(L"the archive's release description: " + FromUtf8(parse.fault), 0);
    }
    m_update = std::move(parse.description);
    m_listing = std::make_unique<CReleaseListing>(*m_update);
}

const TFilePatch* CReleaseCheck::AddArchiveFile(std::wstring_view path, std::uint64_t size) {
    if (!m_listing) {
        return nullptr;
    }
    const std::u16string archivePath =
        WithSeparator(std::u16string(path.begin(), path.end()), u'/');
    m_listing->Claim(archivePath);
    const TFilePatch* patch = m_listing->FindPatch(archivePath);
    if (patch != nullptr) {
        m_patchBytes += size;
    }
    return patch;
}

const TFilePatch* CReleaseCheck::FindPatch(std::wstring_view path) const {
    if (!m_listing) {
        return nullptr;
    }
    return m_listing->FindPatch(WithSeparator(std::u16string(path.begin(), path.end()), u'/'));
}

std::wstring CReleaseCheck::GetInstalledPath(const TFilePatch& patch) const {
    return JoinPath(m_applicationFolder, WithSeparator(ToWide(patch.name), L'\\'));
}

// In a build with keys the description is not verified yet: all it can do here is refuse, and
// where the signature then does not match, the unpacker reports that instead.
void CReleaseCheck::CheckPatchBases() const {
    for (const TFilePatch& patch : m_update->patches) {
        const std::wstring name = L"\"" + ToWide(patch.name) + L"\"";
        std::wstring why;
        std::unique_ptr<CByteSource> installed;
        if (const HRESULT opened = OpenFileByteSource(GetInstalledPath(patch), installed);
            FAILED(opened)) {
            why = opened == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
                          opened == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
                      ? L"is missing"
                      : L"cannot be read: " + DescribeSystemError(static_cast<DWORD>(opened));
        } else {
            CSha256 sha256;
            if (!sha256.AddRange(*installed, 0, installed->GetSize())) {
                why = L"cannot be read to its end";
            } else if (sha256.Finish() != patch.from) {
                why =
                    L"was changed since version " + VersionText(*m_update->base) + L" installed it";
            }
        }
        if (!why.empty()) {
            Refuse(L": it brings " + name + L" as a patch of version " +
                   VersionText(*m_update->base) + L"'s file, and the installed " + name + L' ' +
                   why + L", so the update needs the full archive");
        }
    }
}

void CReleaseCheck::Decide() {
    if (!m_update) {
        if (!HasInstalled()) {
            return;
        }
        if (m_demandsSignatures) {
            Refuse(L": the archive has no release description, and the installed version is " +
                   DescribeInstalled() + L", so it cannot show that it is not older");
        }
        // The description of the version that this update changes would otherwise go on naming
        // what the directory no longer is, and admit a partial update made for it.
        m_removals.push_back(ToWide(ReleaseDescriptionName));
        return;
    }
    if (const std::optional<std::string> fault = m_listing->GetFault()) {
        throw COrvException(FromUtf8(*fault), 0);
    }
    const TReleaseDescription& update = *m_update;
    if (m_installed && update.version < m_installed->version) {
        Refuse(L" as a downgrade: it brings version " + VersionText(update.version) +
               L", lower than the installed version " + VersionText(m_installed->version));
    }
    if (update.base && (!m_installed || *update.base != m_installed->version)) {
        Refuse(L": it is made for version " + VersionText(*update.base) +
               L" only, and the installed version is " + DescribeInstalled());
    }
    CheckPatchBases();
    if (m_installed) {
        for (const std::u16string& dropped : ListDroppedFiles(*m_installed, update)) {
            m_removals.push_back(WithSeparator(ToWide(dropped), L'\\'));
        }
    }
}

std::wstring CReleaseCheck::Describe() const {
    const std::wstring installed = L"; the installed version is " + DescribeInstalled();
    if (!m_update) {
        if (!HasInstalled()) {
            return {};
        }
        return L"release: the archive has no release description" + installed +
               L"; the installed description goes, as it no longer describes the directory";
    }
    const std::wstring kind = m_update->base
                                  ? L", made for " + VersionText(*m_update->base) + L" only"
                                  : std::wstring(L", a full update");
    std::wstring patched;
    if (!m_update->patches.empty()) {
        std::uint64_t fileBytes = 0;
        for (const TFilePatch& patch : m_update->patches) {
            fileBytes += patch.size;
        }
        patched = L"; " + std::to_wstring(m_update->patches.size()) +
                  (m_update->patches.size() == 1 ? L" file comes" : L" files come") +
                  L" as patches, whose " + std::to_wstring(m_patchBytes) +
                  L" bytes (before the archive's deflate) make " + std::to_wstring(fileBytes) +
                  L" bytes of files";
    }
    return L"release: the update brings version " + VersionText(m_update->version) + kind +
           installed + patched + L"; it removes " + std::to_wstring(m_removals.size()) +
           (m_removals.size() == 1 ? L" file" : L" files") + L" of the installed version";
}

std::wstring CReleaseCheck::DescribeInstalled() const {
    if (m_installed) {
        return VersionText(m_installed->version);
    }
    if (!HasInstalled()) {
        return L"unknown (the directory has no release description)";
    }
    return L"unknown (its release description: " + FromUtf8(m_installedFault) + L")";
}

std::optional<std::string> ReadReleaseDescription(IStorage* archiveRoot) {
    CComPointer<IStream> stream;
    const HRESULT opened = archiveRoot->OpenStream(ToWide(ReleaseDescriptionName).c_str(), nullptr,
                                                   0, 0, stream.Put());
    if (opened == STG_E_FILENOTFOUND) {
        return std::nullopt;
    }
    CheckHResult(opened, archiveRoot, IID_IStorage);
    if (!stream) {
        ThrowUnzipError();
    }
    STATSTG info{};
    CheckHResult(stream->Stat(&info, STATFLAG_NONAME), stream.Get(), IID_IStream);
    if (info.cbSize.QuadPart > LargestReleaseDescription) {
        throw COrvException(
            L"the archive's release description: " + FromUtf8(DescribeOversizedDescription()), 0);
    }
    // One byte more than declared, so that the read that ends the entry is the one that checks it.
    std::string text(static_cast<std::size_t>(info.cbSize.QuadPart) + 1, '\0');
    std::size_t done = 0;
    for (;;) {
        ULONG read = 0;
        const HRESULT hr =
            stream->Read(text.data() + done, static_cast<ULONG>(text.size() - done), &read);
        CheckHResult(hr, stream.Get(), IID_ISequentialStream);
        done += read;
        if (hr != S_OK || read == 0 || done == text.size()) {
            break;
        }
    }
    if (done >= text.size()) {
        ThrowUnzipError();
    }
    text.resize(done);
    return text;
}
