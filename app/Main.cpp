#include "app/UpdateSequence.h"

#include "common/SystemLibrary.h"

#include <windows.h>

namespace {

// An updater is often started from a writable folder such as Downloads, where a planted DLL
// would otherwise be loaded in place of a system one. Kernel32 of Windows Vista and 7 has the
// call only with KB2533623, so it is looked up rather than imported.
void RestrictDllSearchToSystem32() {
    const auto setDefaultDllDirectories = FindFunction<BOOL WINAPI(DWORD)>(
        GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != nullptr) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
    RestrictDllSearchToSystem32();
    return RunUpdate(commandLine != nullptr ? commandLine : L"");
}
