#include "common/ScopeGuards.h"

#include <new>
#include <objbase.h>

CComGuard::CComGuard() {
    // A thread that already has COM gets S_FALSE, which needs the same balancing uninitialise.
    CoInitialize(nullptr);
}

CComGuard::~CComGuard() {
    CoUninitialize();
}

bool CGuidGuard::Create() {
    m_guid.reset(new (std::nothrow) GUID);
    if (!m_guid) {
        return false;
    }
    if (FAILED(CoCreateGuid(m_guid.get()))) {
        m_guid.reset();
        return false;
    }
    return true;
}

COnOffGuard::~COnOffGuard() {
    // After the flag, the scope's owner may be gone, with the event.
    if (m_clearing != nullptr) {
        SetEvent(m_clearing);
    }
    m_flag->store(false, std::memory_order_release);
}

CMemHandleGuard::~CMemHandleGuard() {
    if (*m_buffer == nullptr) {
        return;
    }
    if (LocalFree(*m_buffer) != nullptr) {
        *m_failed = true;
    }
    *m_buffer = nullptr;
}
