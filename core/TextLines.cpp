#include "core/TextLines.h"

#include <charconv>

namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

} // namespace

CTextLines::CTextLines(std::string_view text) : m_rest(text) {
    if (m_rest.starts_with(ByteOrderMark)) {
        m_rest.remove_prefix(ByteOrderMark.size());
    }
}

bool CTextLines::Next(std::string_view& line) {
    if (m_rest.empty()) {
        return false;
    }
    ++m_number;
    const std::size_t end = m_rest.find('\n');
    line = m_rest.substr(0, end);
    m_rest.remove_prefix(end == std::string_view::npos ? m_rest.size() : end + 1);
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    return true;
}

std::optional<std::uint64_t> ParseDecimalSize(std::string_view text) {
    std::uint64_t size = 0;
    // from_chars alone would take a run of leading zeros.
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (text.empty() || (text.size() > 1 && text[0] == '0') || error != std::errc() ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    return size;
}

// Built by appending: GCC 12 warns wrongly of overlapping copies in a literal + string chain.
std::string Quoted(std::string_view text) {
    std::string quoted(1, '"');
    quoted.append(text);
    quoted += '"';
    return quoted;
}
