#include "core/ZipFault.h"

#include "core/NameDecoding.h"

std::string CZipException::Describe() const {
    if (m_entry.empty()) {
        return m_reason;
    }
    return EncodeUtf8(m_entry) + ": " + m_reason;
}
