#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Bytes as the texts of this system spell them: two lower-case hex digits a byte, most
// significant first. Only lower case is read back, so that one value has one spelling and a text
// either is this system's own or is refused.
std::string FormatHex(std::span<const std::uint8_t> bytes);

// What a SHA-256 is in these texts, for the fault that names one that is not.
constexpr std::string_view Sha256Spelling = "64 lower-case hex digits";

// Exactly two lower-case digits for each byte; false, with the bytes undefined, for anything
// else.
bool ParseHex(std::string_view text, std::span<std::uint8_t> bytes);
