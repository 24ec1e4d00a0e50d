#include "core/CaseFolding.h"

namespace {

bool InRange(char16_t ch, char16_t first, char16_t last) {
    return ch >= first && ch <= last;
}

// Blocks where upper and lower case alternate, the upper case at the even code point.
bool IsAlternatingLower(char16_t ch) {
    const bool alternatingBlock = InRange(ch, 0x0100, 0x012F) || InRange(ch, 0x0132, 0x0137) ||
                                  InRange(ch, 0x014A, 0x0177) || InRange(ch, 0x0460, 0x0481) ||
                                  InRange(ch, 0x048A, 0x04BF) || InRange(ch, 0x04D0, 0x052F);
    return alternatingBlock && (ch % 2) == 1;
}

// Blocks where the upper case is at the odd code point.
bool IsAlternatingOddUpperLower(char16_t ch) {
    const bool block =
        InRange(ch, 0x0139, 0x0148) || InRange(ch, 0x0179, 0x017E) || InRange(ch, 0x04C1, 0x04CE);
    return block && (ch % 2) == 0;
}

char16_t FoldCharacter(char16_t ch) {
    if (InRange(ch, u'a', u'z')) {
        return ch - 0x20;
    }
    if (ch < 0x80) {
        return ch;
    }
    if ((InRange(ch, 0x00E0, 0x00FE) && ch != 0x00F7) || InRange(ch, 0x03B1, 0x03CB) ||
        InRange(ch, 0x0430, 0x044F) || InRange(ch, 0xFF41, 0xFF5A)) {
        // Latin-1, Greek, basic Cyrillic and full-width Latin letters: upper case 0x20 below.
        return ch == 0x03C2 ? char16_t(0x03A3) : char16_t(ch - 0x20);
    }
    if (InRange(ch, 0x0450, 0x045F)) {
        return ch - 0x50;
    }
    if (ch == 0x00FF) {
        return 0x0178;
    }
    if (IsAlternatingLower(ch) || IsAlternatingOddUpperLower(ch)) {
        return ch - 1;
    }
    return ch;
}

} // namespace

std::u16string FoldCase(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& ch : folded) {
        ch = FoldCharacter(ch);
    }
    return folded;
}
