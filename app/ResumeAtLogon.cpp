#include "app/ResumeAtLogon.h"

#include "common/Handle.h"

namespace {

// Windows runs each value of this key once at the next logon of the user, and deletes it first.
const wchar_t* const RunOnceKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

} // namespace

CResumeAtLogon::CResumeAtLogon(const std::wstring& valueName, const std::wstring& command)
    : m_valueName(valueName) {
    CRegistryKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, RunOnceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    const DWORD bytes = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
    m_registered =
        RegSetValueExW(key.Get(), m_valueName.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(command.c_str()), bytes) == ERROR_SUCCESS;
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
