#include "common/FileHelpers.h"

#include "common/Errors.h"
#include "common/SystemErrors.h"

namespace {

constexpr std::size_t LongestPlainDirectoryPath = MAX_PATH - 12;
const std::wstring ExtendedPrefix = L"\\\\?\\";
const std::wstring ExtendedUncPrefix = L"\\\\?\\UNC\\";

} // namespace

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

DWORD MoveFileAndGetError(const std::wstring& from, const std::wstring& to) {
    const std::wstring source = ToExtendedLengthPath(from);
    const std::wstring destination = ToExtendedLengthPath(to);
    return MoveFileW(source.c_str(), destination.c_str()) ? ERROR_SUCCESS : GetLastError();
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

bool CheckFileHandle(HANDLE handle, std::wstring& errorText) {
    if (handle != INVALID_HANDLE_VALUE) {
        return true;
    }
    GetLastErrorText(errorText);
    return false;
}

bool OpenFileForWriting(CFileHandle& handle, const std::wstring& path, std::wstring& errorText) {
    const HANDLE opened = CreateFileW(ToExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool usable = CheckFileHandle(opened, errorText);
    handle.Reset(opened);
    return usable;
}

bool WriteBufferToFile(const CFileHandle& handle, const void* data, DWORD size, DWORD& written,
                       std::wstring& errorText) {
    if (!WriteFile(handle.Get(), data, size, &written, nullptr)) {
        GetLastErrorText(errorText);
        return false;
    }
    return true;
}
