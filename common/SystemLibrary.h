#pragma once

#include "common/Handle.h"

#include <windows.h>

// A DLL of Windows that is not one of its known DLLs, loaded from the system folder and from
// nowhere else: an updater is often started from a folder that anybody may write to, such as
// Downloads, and a DLL of the same name placed there must never run. Its own imports are looked
// for in the system folder too. Not valid where it cannot be loaded; error is then Windows' code.
CModule LoadSystemLibrary(const wchar_t* name, DWORD& error) noexcept;

// The exported function of that name with the given type, or null where the DLL has none.
template <class Function> Function* FindFunction(HMODULE module, const char* name) {
    // GetProcAddress gives every function one type; the caller names the real one.
    return reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
