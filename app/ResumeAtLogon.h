#pragma once

#include <string>

// While an update runs, Windows is asked to run the same update once more at the next logon. A
// run that dies with the session (a power cut, a logoff) or by Task Manager is then finished
// before anybody starts the application from a half-updated directory, which may not even
// start. The entry goes with this object, at every end of the run.
class CResumeAtLogon {
public:
    // The value name must differ between application directories, so that two applications'
    // updates keep their own entries.
    CResumeAtLogon(const std::wstring& valueName, const std::wstring& command);
    CResumeAtLogon(const CResumeAtLogon&) = delete;
    CResumeAtLogon& operator=(const CResumeAtLogon&) = delete;
    virtual ~CResumeAtLogon();

    // False when Windows would not take the entry; the update goes on without it.
    bool IsRegistered() const { return m_registered; }

private:
    std::wstring m_valueName;
    bool m_registered = false;
};
