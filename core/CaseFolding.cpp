#include "core/CaseFolding.h"

#include "core/UpperCaseTable.h"

namespace {

template <class Char> std::basic_string<Char> FoldUnits(std::basic_string_view<Char> name) {
    std::basic_string<Char> folded(name);
    for (Char& unit : folded) {
        if (static_cast<char32_t>(unit) <= 0xFFFF) {
            unit = static_cast<Char>(GetSimpleUppercase(static_cast<char16_t>(unit)));
        }
    }
    return folded;
}

} // namespace

std::u16string FoldCase(std::u16string_view name) {
    return FoldUnits(name);
}

std::wstring FoldCase(std::wstring_view name) {
    return FoldUnits(name);
}
