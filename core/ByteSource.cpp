#include "core/ByteSource.h"

#include <cstring>

bool CMemoryByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    if (offset > m_bytes.size() || m_bytes.size() - offset < size) {
        return false;
    }
    if (size != 0) {
        std::memcpy(buffer, m_bytes.data() + offset, size);
    }
    return true;
}
