#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
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

struct TReleaseVersion;

// A parser of such a text, which takes it a line at a time and names the line of its fault.
class CLineParser {
public:
    CLineParser() = default;
    CLineParser(const CLineParser&) = delete;
    CLineParser& operator=(const CLineParser&) = delete;
    virtual ~CLineParser() = default;

protected:
    // Hands each line to TakeLine, an empty one refused before it; false once one is refused.
    bool TakeLines(std::string_view text);
    virtual bool TakeLine(std::string_view line) = 0;

    // Always false: the line being read is refused, for what.
    bool Refuse(const std::string& what);
    // A first line that is not one of the format lines this reader knows ("KEY N"): another
    // number of the key is a format it does not know, anything else a text of another kind.
    bool RefuseFormatLine(std::string_view line, std::string_view key, std::string_view kind);
    // A version field, as release descriptions write versions.
    bool TakeVersion(std::string_view text, TReleaseVersion& version);
    // A SHA-256 field, in this system's hex.
    bool TakeSha256(std::string_view text, std::span<std::uint8_t, 32> digest);

    // Of the line being read, from 1; 0 before the first.
    std::size_t GetLineNumber() const { return m_line; }
    const std::string& GetFault() const { return m_fault; }

private:
    std::size_t m_line = 0;
    std::string m_fault;
};

// A size as these texts write it: decimal bytes, no sign, no leading zero but a lone 0.
std::optional<std::uint64_t> ParseDecimalSize(std::string_view text);

// A value as a fault line quotes it.
std::string Quoted(std::string_view text);
