#include "common/CriticalSection.h"

CCriticalSection::CCriticalSection() {
    InitializeCriticalSection(&m_section);
}

CCriticalSection::~CCriticalSection() {
    DeleteCriticalSection(&m_section);
}

void CCriticalSection::Enter() {
    EnterCriticalSection(&m_section);
}

void CCriticalSection::Leave() {
    LeaveCriticalSection(&m_section);
}

CCriticalSectionGuard::CCriticalSectionGuard(CCriticalSection* section) : m_section(section) {
    m_section->Enter();
}

CCriticalSectionGuard::~CCriticalSectionGuard() {
    m_section->Leave();
}
