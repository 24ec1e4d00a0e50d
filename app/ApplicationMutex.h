#pragma once

#include "common/Handle.h"

#include <functional>
#include <string>

// What CreateMutexW gave for the application's mutex: the handle, null where the call failed,
// and GetLastError() of the call.
struct TMutexAnswer {
    HANDLE handle = nullptr;
    DWORD error = ERROR_SUCCESS;
};

// Creates the mutex as its initial owner, or opens it where it exists.
TMutexAnswer CreateApplicationMutex(const std::wstring& name);

using MutexCreator = std::function<TMutexAnswer(const std::wstring& name)>;

// The application holds its single-instance mutex while it runs. Tries every 300 ms, sleeping
// once at least, until the mutex is not there; it is there while it exists already, and also
// while it may not be opened (a process of other rights holds it, such as an elevated
// application). Once it is gone, it is ours until just before the relaunch: an application
// started meanwhile takes itself for a second instance and quits, instead of loading a mix of
// old and new files. Any other failure ends the wait without a mutex.
COwnedMutex WaitForApplicationToQuit(const std::wstring& mutexName,
                                     const MutexCreator& create = CreateApplicationMutex);
