#include "app/RunLog.h"

#include "common/FileHelpers.h"
#include "common/PathHelpers.h"
#include "common/TextHelpers.h"

#include <cstdio>
#include <iterator>

CRunLog::CRunLog(const std::wstring& path, std::uint64_t sizeLimit) noexcept {
    if (path.empty()) {
        return;
    }
    try {
        const std::wstring target = ToExtendedLengthPath(path);
        WIN32_FILE_ATTRIBUTE_DATA existing{};
        if (GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &existing) &&
            (std::uint64_t{existing.nFileSizeHigh} << 32 | existing.nFileSizeLow) > sizeLimit) {
            MoveFileExW(target.c_str(), ToExtendedLengthPath(path + L".1").c_str(),
                        MOVEFILE_REPLACE_EXISTING);
        }
        // Two updaters of different applications may run at once; each line is appended whole.
        m_file.Reset(CreateFileW(target.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    } catch (...) {
        m_file.Reset();
    }
}

std::wstring CRunLog::GetDefaultPath() noexcept {
    try {
        return JoinPath(GetTempDirectory(), L"Orvandel Updater.log");
    } catch (...) {
        return std::wstring();
    }
}

void CRunLog::Write(std::wstring_view text) noexcept {
    if (!m_file.IsValid()) {
        return;
    }
    try {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        char stamp[32] = {};
        std::snprintf(stamp, std::size(stamp), "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear,
                      now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
        const std::string line = stamp + ToUtf8(text) + "\r\n";
        DWORD written = 0;
        WriteFile(m_file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } catch (...) {
    }
}
