// Stands in for the Orvandel application: holds its single-instance mutex while it runs,
// records each start in starts.log beside itself, and on request hands over to the updater the
// way the real application does, quitting a little later so that the updater has to wait. A
// start while the mutex is taken is a second instance, which is recorded as such and quits.
//
// Files beside the program:
//   sample_app.ini  "mutex=<name>" and "hold_ms=<milliseconds to run on after starting the
//                   updater>" lines; both optional
//   version.txt     the version this copy reports
//   update.request  five lines: updater path, mutex, archive, fourth field, delete flag; consumed
//   update.feed     four lines: where to download the update from (FeedDownload.h); read at
//                   every start that finds no update.request
//   quit.flag       ends the hold early
//   starts.log      one line per start: version, a tab, the command line; "second instance"
//                   in place of the version for a start that found the mutex taken

#include "FeedDownload.h"
#include "HelperSupport.h"

#include "common/FileHelpers.h"
#include "common/Handle.h"
#include "common/PathHelpers.h"
#include "common/SystemErrors.h"

namespace {

struct TSettings {
    std::wstring mutexName = L"OrvandelSampleApp";
    DWORD holdMilliseconds = 500;
};

TSettings ReadSettings(const std::wstring& path) {
    TSettings settings;
    std::wstring text;
    if (!ReadTextFile(path, text)) {
        return settings;
    }
    for (const std::wstring& line : SplitLines(text)) {
        const std::size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) {
            continue;
        }
        const std::wstring key = line.substr(0, equals);
        const std::wstring value = line.substr(equals + 1);
        if (key == L"mutex") {
            settings.mutexName = value;
        } else if (key == L"hold_ms") {
            settings.holdMilliseconds = static_cast<DWORD>(_wtoi(value.c_str()));
        }
    }
    return settings;
}

std::wstring ReadVersion(const std::wstring& path) {
    std::wstring text;
    if (!ReadTextFile(path, text)) {
        return L"unknown";
    }
    const std::vector<std::wstring> lines = SplitLines(text);
    return lines.empty() ? L"" : lines.front();
}

std::wstring Quote(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// The updater's command line is five quoted fields after its own quoted path, one blank apart.
bool StartUpdater(const std::vector<std::wstring>& request, const std::wstring& logPath) {
    if (request.size() != 5) {
        AppendLine(logPath, L"malformed update.request");
        return false;
    }
    std::wstring commandLine = Quote(request[0]) + L" " + Quote(GetProgramPath());
    for (std::size_t field = 1; field < request.size(); ++field) {
        commandLine += L" " + Quote(request[field]);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &created)) {
        AppendLine(logPath, L"cannot start the updater: " + DescribeSystemError(GetLastError()));
        return false;
    }
    const CObjectHandle process(created.hProcess);
    const CObjectHandle thread(created.hThread);
    return true;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::wstring folder = GetProgramFolder();
    const TSettings settings = ReadSettings(JoinPath(folder, L"sample_app.ini"));
    const CObjectHandle instanceMutex(CreateMutexW(nullptr, TRUE, settings.mutexName.c_str()));
    const bool secondInstance = GetLastError() == ERROR_ALREADY_EXISTS;

    const std::wstring logPath = JoinPath(folder, L"starts.log");
    if (secondInstance) {
        AppendLine(logPath, L"second instance\t" + std::wstring(GetCommandLineW()));
        return 0;
    }
    AppendLine(logPath, ReadVersion(JoinPath(folder, L"version.txt")) + L"\t" + GetCommandLineW());

    const std::wstring requestPath = JoinPath(folder, L"update.request");
    std::wstring request;
    std::vector<std::wstring> fields;
    std::wstring feedSettings;
    if (ReadTextFile(requestPath, request)) {
        // The relaunched application must not hand over to the updater a second time.
        DeleteFileW(ToExtendedLengthPath(requestPath).c_str());
        fields = SplitLines(request);
    } else if (ReadTextFile(JoinPath(folder, L"update.feed"), feedSettings)) {
        std::optional<std::vector<std::wstring>> downloaded =
            DownloadUpdate(folder, SplitLines(feedSettings));
        if (!downloaded) {
            return 0;
        }
        fields = std::move(*downloaded);
    } else {
        return 0;
    }
    if (!StartUpdater(fields, logPath)) {
        return 1;
    }
    WaitForFile(JoinPath(folder, L"quit.flag"), settings.holdMilliseconds);
    return 0;
}
