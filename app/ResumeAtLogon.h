#pragma once

#include "app/CommandLine.h"
#include "common/FileHelpers.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Windows runs no Run or RunOnce command of more characters than this.
constexpr std::size_t LongestLogonCommand = 259;

// The third field of a logon command that has no room for the archive. It names no file (no
// file name may hold < or >), so that run finds no update to apply: it finishes the journal of
// the run that died and takes the failed end, as for an archive that is gone.
constexpr std::wstring_view ArchiveLeftOut = L"<no archive>";

// The longest that fits, in this order.
enum class TLogonCommandForm {
    Full,           // the updater and the five fields as they were given
    ShortPaths,     // the three paths in their short forms where shorter, the fourth field empty
    WithoutArchive, // as ShortPaths, and ArchiveLeftOut for the archive
    TooLong,        // none fits; text is the WithoutArchive form, which is not written
};

struct TLogonCommand {
    TLogonCommandForm form = TLogonCommandForm::TooLong;
    std::wstring text;
};

using ShortPathFunction = std::function<std::wstring(const std::wstring&)>;

// The command that runs this update once more: the updater's own quoted path, one blank and
// the five fields.
TLogonCommand BuildLogonCommand(const std::wstring& programPath, const TCommandLine& fields,
                                std::size_t longest = LongestLogonCommand,
                                const ShortPathFunction& shorten = GetShortPathForm);

// While an update runs, Windows is asked to run the same update once more at the next logon. A
// run that dies with the session (a power cut, a logoff) or by Task Manager is then finished
// before anybody starts the application from a half-updated directory, which may not even
// start. The entry goes with this object, at every end of the run.
class CResumeAtLogon {
public:
    // The key must differ between application directories, so that two applications' updates
    // keep their own entries. A command that is too long is not written.
    CResumeAtLogon(const std::wstring& directoryKey, const TLogonCommand& command);
    CResumeAtLogon(const CResumeAtLogon&) = delete;
    CResumeAtLogon& operator=(const CResumeAtLogon&) = delete;
    virtual ~CResumeAtLogon();

    // False when the command was too long or Windows would not take the entry; the update goes
    // on without it.
    bool IsRegistered() const { return m_registered; }

    // For the log: whether the entry was written, in which form and how long it is.
    std::wstring Describe() const;

private:
    std::wstring m_valueName;
    TLogonCommandForm m_form;
    std::size_t m_length;
    bool m_registered = false;
};
