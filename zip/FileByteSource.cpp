#include "zip/FileByteSource.h"

#include "common/FileHelpers.h"

#include <algorithm>

namespace {

// One ReadFile moves at most this much, far above the reader's block size.
constexpr std::size_t LargestRead = 64 * 1024 * 1024;

} // namespace

CFileByteSource::CFileByteSource(CFileHandle file, std::uint64_t size)
    : m_file(std::move(file)), m_size(size) {}

bool CFileByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size != 0) {
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(offset);
        position.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD wanted = static_cast<DWORD>(std::min(size, LargestRead));
        DWORD got = 0;
        if (!ReadFile(m_file.Get(), out, wanted, &got, &position) || got == 0) {
            return false;
        }
        out += got;
        offset += got;
        size -= got;
    }
    return true;
}

HRESULT OpenFileByteSource(const std::wstring& path, std::unique_ptr<CByteSource>& source) {
    CFileHandle file(CreateFileW(ToExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    source = std::make_unique<CFileByteSource>(std::move(file), size.QuadPart);
    return S_OK;
}
