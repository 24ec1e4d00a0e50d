#include "core/Hex.h"

namespace {

constexpr std::string_view Digits = "0123456789abcdef";

} // namespace

std::string FormatHex(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(2 * bytes.size());
    for (const std::uint8_t byte : bytes) {
        text += Digits[byte >> 4];
        text += Digits[byte & 0x0F];
    }
    return text;
}

bool ParseHex(std::string_view text, std::span<std::uint8_t> bytes) {
    if (text.size() != 2 * bytes.size()) {
        return false;
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        const std::size_t high = Digits.find(text[2 * at]);
        const std::size_t low = Digits.find(text[2 * at + 1]);
        if (high == std::string_view::npos || low == std::string_view::npos) {
            return false;
        }
        bytes[at] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}
