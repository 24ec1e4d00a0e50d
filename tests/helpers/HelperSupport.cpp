#include "HelperSupport.h"

#include "common/FileHelpers.h"
#include "common/PathHelpers.h"
#include "common/TextHelpers.h"

#include <shellapi.h>

#include <memory>

namespace {

constexpr DWORD PollMilliseconds = 50;

struct LocalFreeDeleter {
    void operator()(wchar_t** pointer) const { LocalFree(pointer); }
};

} // namespace

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
        text = FromUtf8(std::string_view(bytes).substr(skip));
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
    CreateEmptyFile(JoinPath(signalFolder, L"ready"));
    WaitForFile(JoinPath(signalFolder, L"stop"), milliseconds);
}
