#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The lines of a text in this system's own style, as its release descriptions and feeds are
// written: UTF-8 with a BOM at the start skipped, each line ending in LF with a CR before it
// dropped, the last line perhaps without one.
class CTextLines {
public:
    explicit CTextLines(std::string_view text);

    // The next line without its end; false once every line was given.
    bool Next(std::string_view& line);
    // Of the line Next gave last, counted from 1; 0 before the first.
    std::size_t GetNumber() const { return m_number; }

private:
    std::string_view m_rest;
    std::size_t m_number = 0;
};

// A size as these texts write it: decimal bytes, no sign, no leading zero but a lone 0.
std::optional<std::uint64_t> ParseDecimalSize(std::string_view text);

// A value as a fault line quotes it.
std::string Quoted(std::string_view text);
