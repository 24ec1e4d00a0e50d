#include "core/TextLines.h"

#include "core/Hex.h"
#include "core/ReleaseDescription.h"

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

bool CLineParser::TakeLines(std::string_view text) {
    CTextLines lines(text);
    for (std::string_view line; lines.Next(line);) {
        m_line = lines.GetNumber();
        if (line.empty() ? !Refuse("empty") : !TakeLine(line)) {
            return false;
        }
    }
    return true;
}

bool CLineParser::Refuse(const std::string& what) {
    m_fault = "line " + std::to_string(m_line) + ": " + what;
    return false;
}

bool CLineParser::RefuseFormatLine(std::string_view line, std::string_view key,
                                   std::string_view kind) {
    if (line.starts_with(std::string(key) + ' ')) {
        return Refuse("a format this reader does not know");
    }
    return Refuse("not " + std::string(kind));
}

bool CLineParser::TakeVersion(std::string_view text, TReleaseVersion& version) {
    const std::optional<TReleaseVersion> parsed = ParseReleaseVersion(text);
    if (!parsed) {
        return Refuse(Quoted(text) + " is no version: " + std::string(VersionSpelling));
    }
    version = *parsed;
    return true;
}

bool CLineParser::TakeSha256(std::string_view text, std::span<std::uint8_t, 32> digest) {
    if (!ParseHex(text, digest)) {
        return Refuse(Quoted(text) + " is no SHA-256: " + std::string(Sha256Spelling));
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
