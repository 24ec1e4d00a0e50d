#pragma once

#include <mutex>
#include <string>

// The temporary files of the run: when SIGINT, SIGTERM or SIGHUP ends it, every one that is
// still registered is removed, and then the process ends by that signal as its default action
// would have ended it, so that a shell or a build sees the same status as before. A signal that
// the tool was started to ignore stays ignored. The signals
// are taken by a thread of their own, so the removal runs outside any signal handler and waits
// for a file that is being made, renamed or removed to be done with.
//
// Starts that thread once; every later call does nothing. Called before any other thread
// starts, so that all of them leave the signals to it.
void RemoveTemporaryFilesOnInterrupt();

// Holds off the removal while a temporary file is made and registered, or renamed or removed and
// forgotten, so that it never finds one half done.
class CTemporaryFilesLock {
public:
    CTemporaryFilesLock();
    CTemporaryFilesLock(const CTemporaryFilesLock&) = delete;
    CTemporaryFilesLock& operator=(const CTemporaryFilesLock&) = delete;
    virtual ~CTemporaryFilesLock() = default;

    void Register(const std::string& path);
    void Forget(const std::string& path);

private:
    std::unique_lock<std::mutex> m_lock;
};
