// The least an update of a given set of files can cost on this disk under Wine: the files of a
// manifest are written, with their sizes but without any archive work, into a fresh folder of
// the temporary directory, each flushed to the disk before it is moved, and then moved into the
// application directory with the updater's backup steps; the backups and the temporary folders
// are removed at the end.
// Usage: bench_io_floor <manifest> <application directory>. Exit code 0 on success.

#include "Manifest.h"

#include "HelperSupport.h"
#include "common/BackgroundQueue.h"
#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Handle.h"
#include "common/PathHelpers.h"
#include "common/SystemErrors.h"
#include "common/TextHelpers.h"
#include "install/InstallTree.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// The updater copies in chunks of at most this size.
constexpr std::uint64_t LargestChunk = 10 * 1024 * 1024;

[[noreturn]] void ThrowFileError(const wchar_t* action, const std::wstring& path, DWORD code) {
    std::wstring reason;
    GetSystemErrorText(code, reason);
    throw COrvException(std::wstring(action) + L" " + path + L": " + reason, 0);
}

void CreateFolder(const std::wstring& path) {
    if (!CreateDirectoryW(ToExtendedLengthPath(path).c_str(), nullptr)) {
        const DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS) {
            ThrowFileError(L"Cannot create the folder", path, code);
        }
    }
}

CFileHandle WriteFileOfSize(const std::wstring& path, std::uint64_t size,
                            const std::vector<BYTE>& data) {
    CFileHandle file;
    std::wstring errorText;
    if (!OpenFileForWriting(file, path, errorText)) {
        throw COrvException(L"Cannot create " + path + L": " + errorText, 0);
    }
    for (std::uint64_t left = size; left > 0;) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(left, data.size()));
        DWORD written = 0;
        if (!WriteBufferToFile(file, data.data(), chunk, written, errorText) || written != chunk) {
            throw COrvException(L"Cannot write " + path + L": " + errorText, 0);
        }
        left -= chunk;
    }
    return file;
}

// Every update flushes each file before it is moved in, as the updater does it: on a thread of
// its own while the next file is written.
void WriteFlushedFiles(const std::vector<TManifestEntry>& entries, const std::wstring& folder,
                       const std::vector<BYTE>& data) {
    bool unflushed = false;
    {
        CBackgroundQueue<CFileHandle> settling([&unflushed](CFileHandle& file) {
            if (!FlushAndCloseFile(file)) {
                unflushed = true;
            }
        });
        for (const TManifestEntry& entry : entries) {
            settling.Add(WriteFileOfSize(JoinPath(folder, entry.path), entry.size, data));
        }
    }
    if (unflushed) {
        throw COrvException(L"Cannot flush the files written to " + folder, 0);
    }
}

void MoveFileOrThrow(const std::wstring& from, const std::wstring& to) {
    if (const DWORD error = MoveFileAndGetError(from, to); error != ERROR_SUCCESS) {
        ThrowFileError(L"Cannot move the file", from, error);
    }
}

void DeleteFileOrThrow(const std::wstring& path) {
    if (!DeleteFileW(ToExtendedLengthPath(path).c_str())) {
        ThrowFileError(L"Cannot delete the file", path, GetLastError());
    }
}

void RemoveFolderOrThrow(const std::wstring& path) {
    if (!RemoveDirectoryW(ToExtendedLengthPath(path).c_str())) {
        ThrowFileError(L"Cannot remove the folder", path, GetLastError());
    }
}

// Returns the backups made, to be deleted once every file is in place.
std::vector<std::wstring> InstallFiles(const std::vector<TManifestEntry>& entries,
                                       const std::vector<std::wstring>& folders,
                                       const std::wstring& source, const std::wstring& target) {
    for (const std::wstring& folder : folders) {
        const std::wstring path = JoinPath(target, folder);
        if (!PathExists(path)) {
            CreateFolder(path);
        }
    }
    // The benchmark's application directories hold no backups of earlier runs, which the
    // updater would delete first.
    std::vector<std::wstring> backups;
    for (const TManifestEntry& entry : entries) {
        const std::wstring installed = JoinPath(target, entry.path);
        const std::wstring backup = GetBackupPath(installed);
        const DWORD error = MoveFileAndGetError(installed, backup);
        if (error == ERROR_SUCCESS) {
            backups.push_back(backup);
        } else if (error != ERROR_FILE_NOT_FOUND) {
            ThrowFileError(L"Cannot move the file", installed, error);
        }
        MoveFileOrThrow(JoinPath(source, entry.path), installed);
    }
    return backups;
}

void RunFloor(const std::wstring& manifestPath, const std::wstring& applicationDirectory) {
    const std::vector<TManifestEntry> entries = ReadManifest(manifestPath);
    const std::vector<std::wstring> folders = ListFolders(entries);
    std::uint64_t largest = 1;
    for (const TManifestEntry& entry : entries) {
        largest = std::max(largest, entry.size);
    }
    const std::vector<BYTE> data(static_cast<std::size_t>(std::min(largest, LargestChunk)), 0x5A);

    const std::wstring scratch =
        JoinPath(GetTempDirectory(), L"bench-floor-" + std::to_wstring(GetCurrentProcessId()));
    CreateFolder(scratch);
    for (const std::wstring& folder : folders) {
        CreateFolder(JoinPath(scratch, folder));
    }
    WriteFlushedFiles(entries, scratch, data);

    for (const std::wstring& backup :
         InstallFiles(entries, folders, scratch, applicationDirectory)) {
        DeleteFileOrThrow(backup);
    }
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        RemoveFolderOrThrow(JoinPath(scratch, *folder));
    }
    RemoveFolderOrThrow(scratch);
}

void Report(const std::wstring& text) {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string bytes = ToUtf8(text + L"\n");
    DWORD written = 0;
    WriteFile(error, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::vector<std::wstring> arguments = GetArguments();
    if (arguments.size() != 2) {
        Report(L"usage: bench_io_floor <manifest> <application directory>");
        return 2;
    }
    try {
        RunFloor(arguments[0], arguments[1]);
    } catch (const COrvException& failure) {
        Report(failure.GetText());
        return 1;
    }
    return 0;
}
