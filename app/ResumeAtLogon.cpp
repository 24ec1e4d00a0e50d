#include "app/ResumeAtLogon.h"

#include "common/Handle.h"

namespace {

// Windows runs each value of this key once at the next logon of the user. It deletes the value
// before the command runs, unless the value's name begins with '!': then only after it has run,
// so that a logon run that dies too leaves the entry for the logon after.
const wchar_t* const RunOnceKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

std::wstring Quoted(const std::wstring& text) {
    return L'"' + text + L'"';
}

const wchar_t* NameOf(TLogonCommandForm form) {
    switch (form) {
    case TLogonCommandForm::Full:
        return L"in full";
    case TLogonCommandForm::ShortPaths:
        return L"with short paths";
    case TLogonCommandForm::WithoutArchive:
        return L"with short paths and without the archive";
    case TLogonCommandForm::TooLong:
        break;
    }
    return L"too long";
}

} // namespace

TLogonCommand BuildLogonCommand(const std::wstring& programPath, const TCommandLine& fields,
                                std::size_t longest, const ShortPathFunction& shorten) {
    TLogonCommand command{TLogonCommandForm::Full,
                          Quoted(programPath) + L' ' + FormatCommandLine(fields)};
    if (command.text.size() <= longest) {
        return command;
    }
    TCommandLine shorter = fields;
    shorter.applicationPath = shorten(fields.applicationPath);
    shorter.archivePath = shorten(fields.archivePath);
    shorter.fourthField.clear();
    const std::wstring program = Quoted(shorten(programPath)) + L' ';
    command = {TLogonCommandForm::ShortPaths, program + FormatCommandLine(shorter)};
    if (command.text.size() <= longest) {
        return command;
    }
    shorter.archivePath = ArchiveLeftOut;
    command = {TLogonCommandForm::WithoutArchive, program + FormatCommandLine(shorter)};
    if (command.text.size() > longest) {
        command.form = TLogonCommandForm::TooLong;
    }
    return command;
}

CResumeAtLogon::CResumeAtLogon(const std::wstring& directoryKey, const TLogonCommand& command)
    : m_valueName(L'!' + directoryKey), m_form(command.form), m_length(command.text.size()) {
    if (command.form == TLogonCommandForm::TooLong) {
        return;
    }
    CRegistryKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, RunOnceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    const DWORD bytes = static_cast<DWORD>((command.text.size() + 1) * sizeof(wchar_t));
    m_registered =
        RegSetValueExW(key.Get(), m_valueName.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(command.text.c_str()), bytes) == ERROR_SUCCESS;
}

// Also when the entry could not be written: a dead run's entry for the same directory must not
// start an older update at the next logon.
CResumeAtLogon::~CResumeAtLogon() {
    CRegistryKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, RunOnceKey, 0, KEY_SET_VALUE, key.Put()) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(key.Get(), m_valueName.c_str());
    }
}

std::wstring CResumeAtLogon::Describe() const {
    const std::wstring length = std::to_wstring(m_length) + L" characters";
    if (m_form == TLogonCommandForm::TooLong) {
        return L"not written, as even " + std::wstring(NameOf(TLogonCommandForm::WithoutArchive)) +
               L" the command takes " + length + L", more than " +
               std::to_wstring(LongestLogonCommand);
    }
    return (m_registered ? L"written " : L"refused, ") + std::wstring(NameOf(m_form)) + L", " +
           length;
}
