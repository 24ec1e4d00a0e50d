// Started by the launch tests: writes the command line it received, as UTF-16, to the file
// that ORV_ECHO_FILE names. The text appears under that name only once it is complete.
#include "common/Handle.h"

#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    std::wstring target(32768, L'\0');
    target.resize(GetEnvironmentVariableW(L"ORV_ECHO_FILE", target.data(),
                                          static_cast<DWORD>(target.size())));
    if (target.empty()) {
        return 1;
    }
    const std::wstring partial = target + L".part";
    const std::wstring commandLine = GetCommandLineW();
    {
        const CFileHandle file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        const DWORD size = static_cast<DWORD>(commandLine.size() * sizeof(wchar_t));
        if (!file.IsValid() ||
            !WriteFile(file.Get(), commandLine.data(), size, &written, nullptr)) {
            return 1;
        }
    }
    return MoveFileW(partial.c_str(), target.c_str()) ? 0 : 1;
}
