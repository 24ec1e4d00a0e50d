#include "common/FileHelpers.h"

#include "common/Errors.h"
#include "common/PathHelpers.h"
#include "common/SystemErrors.h"

#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t LongestPlainDirectoryPath = MAX_PATH - 12;
const std::wstring ExtendedPrefix = L"\\\\?\\";
const std::wstring ExtendedUncPrefix = L"\\\\?\\UNC\\";

DiskChangeGate g_diskChangeGate = nullptr;

DWORD MoveFileWithFlags(const std::wstring& from, const std::wstring& to, DWORD flags) {
    if (!PassDiskChangeGate(TDiskChange::Move)) {
        return ERROR_NOT_READY;
    }
    const std::wstring source = ToExtendedLengthPath(from);
    const std::wstring destination = ToExtendedLengthPath(to);
    return MoveFileExW(source.c_str(), destination.c_str(), flags) ? ERROR_SUCCESS : GetLastError();
}

using PathConversion = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);

std::wstring ConvertPath(PathConversion convert, const std::wstring& path) {
    const std::wstring source = ToExtendedLengthPath(path);
    std::wstring converted(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            convert(source.c_str(), converted.data(), static_cast<DWORD>(converted.size()));
        if (length == 0) {
            return path;
        }
        // A buffer too small is answered with the size it needs, terminator included.
        const bool fits = length < converted.size();
        converted.resize(length);
        if (fits) {
            break;
        }
    }
    // The prefix that only the call needed is not the caller's.
    if (source != path && converted.starts_with(ExtendedUncPrefix)) {
        return L"\\\\" + converted.substr(ExtendedUncPrefix.size());
    }
    if (source != path && converted.starts_with(ExtendedPrefix)) {
        return converted.substr(ExtendedPrefix.size());
    }
    return converted;
}

// The entries of a folder's DACL that files created in it inherit, as they are there; whether the
// folder got them from its own parent makes no difference to the file. None for a DACL that
// cannot be read.
std::optional<std::vector<std::vector<BYTE>>> GetEntriesForFiles(const ACL* acl) {
    if (acl == nullptr || !IsValidAcl(const_cast<ACL*>(acl))) {
        return std::nullopt;
    }
    std::vector<std::vector<BYTE>> entries;
    for (DWORD index = 0; index < acl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(const_cast<ACL*>(acl), index, &entry)) {
            return std::nullopt;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if ((header->AceFlags & OBJECT_INHERIT_ACE) != 0) {
            const auto* bytes = static_cast<const BYTE*>(entry);
            std::vector<BYTE>& copy = entries.emplace_back(bytes, bytes + header->AceSize);
            reinterpret_cast<ACE_HEADER*>(copy.data())->AceFlags &= ~INHERITED_ACE;
        }
    }
    return entries;
}

// False where the folder's rights cannot be read; the DACL lives as long as the descriptor.
bool ReadFolderDacl(const std::wstring& folder, CLocalMemory& descriptor, PACL& dacl) {
    std::wstring path = ToExtendedLengthPath(folder);
    return GetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, &dacl, nullptr, descriptor.Put()) == ERROR_SUCCESS;
}

} // namespace

void SetDiskChangeGate(DiskChangeGate gate) {
    g_diskChangeGate = gate;
}

bool PassDiskChangeGate(TDiskChange change) {
    return g_diskChangeGate == nullptr || g_diskChangeGate(change);
}

std::wstring GetShortPathForm(const std::wstring& path) {
    const std::wstring converted = ConvertPath(GetShortPathNameW, path);
    return converted.size() < path.size() ? converted : path;
}

std::wstring GetLongPathForm(const std::wstring& path) {
    return ConvertPath(GetLongPathNameW, path);
}

std::wstring ToExtendedLengthPath(const std::wstring& path) {
    if (path.size() < LongestPlainDirectoryPath || path.starts_with(ExtendedPrefix)) {
        return path;
    }
    std::wstring full(path.size() + MAX_PATH, L'\0');
    DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) {
        return path;
    }
    full.resize(length);
    if (full.starts_with(L"\\\\")) {
        return ExtendedUncPrefix + full.substr(2);
    }
    return ExtendedPrefix + full;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(ToExtendedLengthPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD GetPathAttributes(const std::wstring& path) {
    return GetFileAttributesW(ToExtendedLengthPath(path).c_str());
}

// MoveFileW's own flags: a move to another volume is a copy and a delete.
DWORD MoveFileAndGetError(const std::wstring& from, const std::wstring& to) {
    return MoveFileWithFlags(from, to, MOVEFILE_COPY_ALLOWED);
}

DWORD MoveFileReplacingAndGetError(const std::wstring& from, const std::wstring& to) {
    return MoveFileWithFlags(from, to, MOVEFILE_REPLACE_EXISTING);
}

DWORD MoveFileInAndGetError(const std::wstring& from, const std::wstring& to, bool replacing) {
    return MoveFileWithFlags(from, to,
                             MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH |
                                 (replacing ? MOVEFILE_REPLACE_EXISTING : 0));
}

DWORD ReadWholeFile(const std::wstring& path, std::string& text, std::size_t limit) {
    const std::wstring target = ToExtendedLengthPath(path);
    const CFileHandle file(CreateFileW(target.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return GetLastError();
    }
    text.clear();
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
            return GetLastError();
        }
        if (read == 0) {
            return ERROR_SUCCESS;
        }
        if (limit - text.size() < read) {
            return ERROR_FILE_TOO_LARGE;
        }
        text.append(chunk.data(), read);
    }
}

DWORD DeleteFileAndGetError(const std::wstring& path) {
    if (!PassDiskChangeGate(TDiskChange::Delete)) {
        return ERROR_NOT_READY;
    }
    const std::wstring target = ToExtendedLengthPath(path);
    if (DeleteFileW(target.c_str())) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    // Clearing the attribute only where a delete was refused saves a call per file on the
    // common path.
    if (error != ERROR_ACCESS_DENIED) {
        return error;
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        !SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return error;
    }
    return DeleteFileW(target.c_str()) ? ERROR_SUCCESS : GetLastError();
}

DWORD CreateFolderAndGetError(const std::wstring& path) {
    if (!PassDiskChangeGate(TDiskChange::CreateFolder)) {
        return ERROR_NOT_READY;
    }
    const std::wstring target = ToExtendedLengthPath(path);
    return CreateDirectoryW(target.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
}

DWORD RemoveFolderAndGetError(const std::wstring& path) {
    if (!PassDiskChangeGate(TDiskChange::RemoveFolder)) {
        return ERROR_NOT_READY;
    }
    const std::wstring target = ToExtendedLengthPath(path);
    return RemoveDirectoryW(target.c_str()) ? ERROR_SUCCESS : GetLastError();
}

DWORD FlushFolderAndGetError(const std::wstring& path) {
    if (!PassDiskChangeGate(TDiskChange::Flush)) {
        return ERROR_NOT_READY;
    }
    const std::wstring target = ToExtendedLengthPath(path);
    const CFileHandle folder(CreateFileW(
        target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.IsValid()) {
        return GetLastError();
    }
    return FlushFileBuffers(folder.Get()) ? ERROR_SUCCESS : GetLastError();
}

DWORD RemoveFolderTree(const std::wstring& folder) {
    DWORD firstFailure = ERROR_SUCCESS;
    const auto note = [&firstFailure](DWORD error) {
        if (firstFailure == ERROR_SUCCESS) {
            firstFailure = error;
        }
    };
    // An explicit stack, so that no depth can exhaust the thread's own; a folder is taken up
    // again, emptied, after everything that was found in it.
    std::vector<std::pair<std::wstring, bool>> pending{{folder, false}};
    while (!pending.empty()) {
        auto [path, emptied] = std::move(pending.back());
        pending.pop_back();
        if (emptied) {
            if (const DWORD error = RemoveFolderAndGetError(path); error != ERROR_SUCCESS) {
                note(error);
            }
            continue;
        }
        WIN32_FIND_DATAW found{};
        const std::wstring pattern = ToExtendedLengthPath(JoinPath(path, L"*"));
        const CFindHandle search(FindFirstFileW(pattern.c_str(), &found));
        if (!search.IsValid()) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                note(error);
            }
            continue;
        }
        pending.emplace_back(path, true);
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = JoinPath(path, name);
            const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (isFolder && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                pending.emplace_back(child, false);
            } else if (isFolder) {
                if (const DWORD error = RemoveFolderAndGetError(child); error != ERROR_SUCCESS) {
                    note(error);
                }
            } else if (const DWORD error = DeleteFileAndGetError(child); error != ERROR_SUCCESS) {
                note(error);
            }
        } while (FindNextFileW(search.Get(), &found));
    }
    return firstFailure;
}

std::wstring GetTempDirectory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            ThrowUnknownError();
        }
        // A buffer too small is answered with the size it needs, terminator included.
        const bool fits = length < buffer.size();
        buffer.resize(length);
        if (fits) {
            return buffer;
        }
    }
}

void InheritFolderAccess(const std::wstring& path, SetSecurityFunction setSecurity) {
    ACL noEntries{};
    if (!InitializeAcl(&noEntries, sizeof(noEntries), ACL_REVISION)) {
        return;
    }
    std::wstring target = ToExtendedLengthPath(path);
    setSecurity(target.data(), SE_FILE_OBJECT,
                DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                &noEntries, nullptr);
}

bool PassSameAccessToFiles(const ACL* first, const ACL* second) {
    const auto firstEntries = GetEntriesForFiles(first);
    return firstEntries && firstEntries == GetEntriesForFiles(second);
}

bool FoldersPassSameAccessToFiles(const std::wstring& first, const std::wstring& second) {
    CLocalMemory firstDescriptor;
    CLocalMemory secondDescriptor;
    PACL firstDacl = nullptr;
    PACL secondDacl = nullptr;
    return ReadFolderDacl(first, firstDescriptor, firstDacl) &&
           ReadFolderDacl(second, secondDescriptor, secondDacl) &&
           PassSameAccessToFiles(firstDacl, secondDacl);
}

bool CheckFileHandle(HANDLE handle, std::wstring& errorText) {
    if (handle != INVALID_HANDLE_VALUE) {
        return true;
    }
    GetSystemErrorText(GetLastError(), errorText);
    return false;
}

bool OpenFileForWriting(CFileHandle& handle, const std::wstring& path, std::wstring& errorText) {
    const HANDLE opened = CreateFileW(ToExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool usable = CheckFileHandle(opened, errorText);
    handle.Reset(opened);
    return usable;
}

bool WriteBufferToFile(const CFileHandle& handle, const void* data, DWORD size, DWORD& written,
                       std::wstring& errorText) {
    if (!WriteFile(handle.Get(), data, size, &written, nullptr)) {
        GetSystemErrorText(GetLastError(), errorText);
        return false;
    }
    return true;
}

bool FlushAndCloseFile(CFileHandle& file) {
    const bool flushed = FlushFileBuffers(file.Get()) != FALSE;
    file.Reset();
    return flushed;
}
