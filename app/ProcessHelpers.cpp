#include "app/ProcessHelpers.h"

#include <tlhelp32.h>

CObjectHandle FindProcessByName(const std::wstring& name, DWORD access) {
    const CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid()) {
        return CObjectHandle();
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (name == entry.szExeFile) {
            return CObjectHandle(OpenProcess(access, FALSE, entry.th32ProcessID));
        }
    }
    return CObjectHandle();
}

bool LaunchProcess(const std::wstring& path, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + path + L"\"";
    if (!arguments.empty()) {
        commandLine += L' ';
        commandLine += arguments;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // CreateProcessW may write into the command line, so it gets the string's own buffer.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    // Nobody waits for the started program.
    const CObjectHandle processHandle(process.hProcess);
    const CObjectHandle threadHandle(process.hThread);
    return true;
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
