// Runs one exact command line, read from a file so that no shell or Wine quoting can change a
// byte of it, waits for the program and for every process it starts in turn, and exits with the
// program's exit code. Everything it started is ended when the launcher itself is ended.

#include "HelperSupport.h"

#include "common/Handle.h"
#include "common/SystemErrors.h"

#include <cstdio>

namespace {

constexpr int UsageError = 120;
constexpr int UnreadableFile = 121;
constexpr int JobFailure = 122;
constexpr int StartFailure = 123;
constexpr DWORD PollMilliseconds = 50;

int Fail(int code, const wchar_t* what) {
    const std::wstring error = DescribeSystemError(GetLastError());
    std::fwprintf(stderr, L"launcher: %ls: %ls\n", what, error.c_str());
    return code;
}

bool KillTreeOnClose(const CObjectHandle& job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    return SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof(limits));
}

void WaitUntilEmpty(const CObjectHandle& job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    while (QueryInformationJobObject(job.Get(), JobObjectBasicAccountingInformation, &accounting,
                                     sizeof(accounting), nullptr) &&
           accounting.ActiveProcesses > 0) {
        Sleep(PollMilliseconds);
    }
}

} // namespace

int main() {
    const std::vector<std::wstring> arguments = GetArguments();
    if (arguments.size() != 1) {
        std::fwprintf(stderr, L"usage: launcher COMMAND_LINE_FILE\n");
        return UsageError;
    }
    std::wstring commandLine;
    if (!ReadTextFile(arguments[0], commandLine)) {
        return Fail(UnreadableFile, L"cannot read the command line");
    }

    // Wine starts its desktop process from the first program that needs the desktop; started
    // from inside the job, that long-lived process would count as one of the command's.
    GetDesktopWindow();
    const CObjectHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job.IsValid()) {
        return Fail(JobFailure, L"cannot create a job");
    }
    if (!KillTreeOnClose(job)) {
        return Fail(JobFailure, L"cannot configure the job");
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &created)) {
        return Fail(StartFailure, L"cannot start the command");
    }
    const CObjectHandle process(created.hProcess);
    const CObjectHandle thread(created.hThread);
    // Assigned before it runs, so that every process it starts belongs to the job as well.
    if (!AssignProcessToJobObject(job.Get(), process.Get())) {
        const int code = Fail(JobFailure, L"cannot add the command to the job");
        TerminateProcess(process.Get(), 1);
        return code;
    }
    ResumeThread(thread.Get());

    WaitForSingleObject(process.Get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.Get(), &exitCode);
    WaitUntilEmpty(job);
    return static_cast<int>(exitCode);
}
