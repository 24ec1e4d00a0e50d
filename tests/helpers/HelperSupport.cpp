#include "HelperSupport.h"

#include "common/FileHelpers.h"

#include <shellapi.h>

#include <memory>

namespace {

constexpr DWORD PollMilliseconds = 50;

std::wstring FromUtf8(const char* data, int size) {
    if (size <= 0) {
        return {};
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, data, size, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, data, size, text.data(), length);
    return text;
}

struct LocalFreeDeleter {
    void operator()(wchar_t** pointer) const { LocalFree(pointer); }
};

} // namespace

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

std::wstring GetProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring GetProgramFolder() {
    const std::wstring path = GetProgramPath();
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::vector<std::wstring> GetArguments() {
    int count = 0;
    const std::unique_ptr<wchar_t*, LocalFreeDeleter> arguments(
        CommandLineToArgvW(GetCommandLineW(), &count));
    if (!arguments) {
        return {};
    }
    return std::vector<std::wstring>(arguments.get() + 1, arguments.get() + count);
}

bool ReadTextFile(const std::wstring& path, std::wstring& text) {
    const CFileHandle file(CreateFileW(ToExtendedLengthPath(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    if (bytes.starts_with("\xFF\xFE")) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    } else {
        const std::size_t skip = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        text = FromUtf8(bytes.data() + skip, static_cast<int>(bytes.size() - skip));
    }
    return true;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        if (line.ends_with(L'\r')) {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool AppendLine(const std::wstring& path, const std::wstring& line) {
    const CFileHandle file(CreateFileW(ToExtendedLengthPath(path).c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    const std::string bytes = ToUtf8(line + L"\n");
    DWORD written = 0;
    return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

bool CreateEmptyFile(const std::wstring& path) {
    const CFileHandle file(CreateFileW(ToExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0,
                                       nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
}

bool WaitForFile(const std::wstring& path, DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (!PathExists(path)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(PollMilliseconds);
    }
    return true;
}

void HoldUntilStopped(const std::wstring& seconds, const std::wstring& signalFolder) {
    const DWORD milliseconds = static_cast<DWORD>(_wtoi(seconds.c_str())) * 1000;
    if (signalFolder.empty()) {
        Sleep(milliseconds);
        return;
    }
    CreateEmptyFile(signalFolder + L"\\ready");
    WaitForFile(signalFolder + L"\\stop", milliseconds);
}
