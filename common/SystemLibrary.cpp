#include "common/SystemLibrary.h"

#include <cwchar>
#include <iterator>

namespace {

// Windows 7 without KB2533623 knows no search flags. A full path is looked for nowhere else,
// and the altered search looks for the DLL's own imports in its folder first. The system folder
// is far shorter than MAX_PATH; a name that does not fit beside it is not loaded.
HMODULE LoadByFullPath(const wchar_t* name) noexcept {
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(path, static_cast<UINT>(std::size(path)));
    if (length == 0 || length + 1 + std::wcslen(name) >= std::size(path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    path[length] = L'\\';
    std::wcscpy(path + length + 1, name);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace

CModule LoadSystemLibrary(const wchar_t* name, DWORD& error) noexcept {
    CModule module(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    error = module.IsValid() ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_INVALID_PARAMETER) {
        module.Reset(LoadByFullPath(name));
        error = module.IsValid() ? ERROR_SUCCESS : GetLastError();
    }
    return module;
}
