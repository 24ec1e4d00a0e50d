// Does nothing, so that its peak memory is what Wine costs any process: the share to subtract
// from the updater's figure. With the argument "com" it also loads what the updater loads
// before doing any work of its own (COM started, user32 mapped) and still does nothing else.
// With "hold" it joins the desktop and sleeps until it is ended: Wine closes its desktop
// process a moment after the last program on the desktop ends and starts it again for the
// next one, which must not happen inside a measured run.

#include <windows.h>

#include <objbase.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    if (std::wcscmp(commandLine, L"hold") == 0) {
        GetDesktopWindow();
        Sleep(INFINITE);
    }
    if (std::wcscmp(commandLine, L"com") == 0 && SUCCEEDED(CoInitialize(nullptr))) {
        CoUninitialize();
        return IsWindow(nullptr) ? 1 : 0;
    }
    return 0;
}
