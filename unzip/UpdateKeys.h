#pragma once

#include <array>
#include <cstdint>
#include <span>

// An ECDSA P-256 public key as its uncompressed point: 0x04, then X and Y, big-endian.
struct TUpdateKey {
    std::array<std::uint8_t, 65> point;
};

// The keys whose signatures this executable accepts on an update; none in a build without
// ORVANDEL_UPDATE_KEYS, which then installs archives unchecked. Each executable links a key
// table of its own (cmake/UpdateKeyTable.cmake), so one build of the library serves the plain
// updater and an updater with test keys alike.
std::span<const TUpdateKey> GetUpdateKeys();
