#pragma once

#include "common/Sha256.h"

#include <cstdint>
#include <span>

// Whether the ECDSA signature r||s (32 bytes each, big-endian) by the P-256 public key with the
// uncompressed point (0x04, then X and Y) is one of the SHA-256 digest, by Windows' cryptography.
// False for a signature that does not match; COrvException where the cryptography fails or
// cannot be had.
bool VerifyP256Signature(std::span<const std::uint8_t, 65> point, const TSha256Digest& digest,
                         std::span<const std::uint8_t, 64> signature);
