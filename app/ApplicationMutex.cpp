#include "app/ApplicationMutex.h"

TMutexAnswer CreateApplicationMutex(const std::wstring& name) {
    TMutexAnswer answer;
    answer.handle = CreateMutexW(nullptr, TRUE, name.c_str());
    answer.error = GetLastError();
    return answer;
}

COwnedMutex WaitForApplicationToQuit(const std::wstring& mutexName, const MutexCreator& create) {
    for (;;) {
        const TMutexAnswer answer = create(mutexName);
        CObjectHandle mutex(answer.handle);
        const bool running =
            answer.error == ERROR_ALREADY_EXISTS || answer.error == ERROR_ACCESS_DENIED;
        if (running) {
            mutex.Reset();
        }
        Sleep(300);
        if (!running) {
            return COwnedMutex(mutex.Release());
        }
    }
}
