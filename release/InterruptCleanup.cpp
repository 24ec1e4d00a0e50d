#include "release/InterruptCleanup.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <set>
#include <thread>

namespace {

std::mutex& GetRegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::multiset<std::string>& GetRegistry() {
    static std::multiset<std::string> paths;
    return paths;
}

// The interrupts that end the run: one that the caller had the tool ignore (nohup ignores
// SIGHUP) stays ignored.
sigset_t GetInterrupts() {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
            sigaddset(&interrupts, signal);
        }
    }
    return interrupts;
}

[[noreturn]] void AwaitInterrupt(sigset_t interrupts) {
    int signal = 0;
    while (sigwait(&interrupts, &signal) != 0) {
    }
    // Held to the end: nothing is made or renamed any more.
    const std::lock_guard<std::mutex> lock(GetRegistryMutex());
    for (const std::string& path : GetRegistry()) {
        unlink(path.c_str());
    }
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signal, &defaultAction, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);
}

} // namespace

void RemoveTemporaryFilesOnInterrupt() {
    static std::once_flag started;
    std::call_once(started, [] {
        const sigset_t interrupts = GetInterrupts();
        pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);
        std::thread(AwaitInterrupt, interrupts).detach();
    });
}

CTemporaryFilesLock::CTemporaryFilesLock() : m_lock(GetRegistryMutex()) {}

void CTemporaryFilesLock::Register(const std::string& path) {
    GetRegistry().insert(path);
}

void CTemporaryFilesLock::Forget(const std::string& path) {
    if (const auto found = GetRegistry().find(path); found != GetRegistry().end()) {
        GetRegistry().erase(found);
    }
}
