#pragma once

#include <cstddef>
#include <cstdint>

// Zip stores every number little-endian, whatever the machine's order.
inline std::uint16_t LoadUInt16(const unsigned char* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline std::uint32_t LoadUInt32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

inline std::uint64_t LoadUInt64(const unsigned char* at) {
    return LoadUInt32(at) | (static_cast<std::uint64_t>(LoadUInt32(at + 4)) << 32);
}
