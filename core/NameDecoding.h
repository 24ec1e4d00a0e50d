#pragma once

#include <optional>
#include <string>
#include <string_view>

// Strict UTF-8: overlong forms, surrogates, code points past U+10FFFF and cut sequences give
// no result, so one stored name can only ever mean one text.
std::optional<std::u16string> DecodeUtf8(std::string_view bytes);

// UTF-8 of a decoded name, for texts that people read. A lone surrogate, which no decoding above
// gives, comes out as U+FFFD.
std::string EncodeUtf8(std::u16string_view text);

// The IBM PC code page that zip tools use for names without the UTF-8 flag.
std::u16string DecodeCp437(std::string_view bytes);
