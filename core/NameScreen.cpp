#include "core/NameScreen.h"

#include "core/NameDecoding.h"

#include <array>

namespace {

constexpr char32_t SuperscriptOne = 0xB9;
constexpr char32_t SuperscriptTwo = 0xB2;
constexpr char32_t SuperscriptThree = 0xB3;

// Separators, the drive and stream mark, and what Windows refuses in any file name.
bool IsForbiddenCharacter(char32_t ch) {
    return ch < 0x20 || std::u32string_view(U"\\/:<>\"|?*").find(ch) != std::u32string_view::npos;
}

char32_t AsciiUpper(char32_t ch) {
    return (ch >= U'a' && ch <= U'z') ? ch - (U'a' - U'A') : ch;
}

template <class Char> bool MatchesUpper(std::basic_string_view<Char> text, std::string_view word) {
    if (text.size() != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (AsciiUpper(static_cast<char32_t>(text[i])) != static_cast<char32_t>(word[i])) {
            return false;
        }
    }
    return true;
}

bool IsPortDigit(char32_t ch) {
    return (ch >= U'0' && ch <= U'9') || ch == SuperscriptOne || ch == SuperscriptTwo ||
           ch == SuperscriptThree;
}

// Windows opens the device whatever extension follows and whatever blanks precede it, so
// "nul .txt" is the null device as much as "NUL" is.
template <class Char> bool IsDeviceName(std::basic_string_view<Char> name) {
    std::basic_string_view<Char> base = name.substr(0, name.find(Char('.')));
    while (!base.empty() && base.back() == Char(' ')) {
        base.remove_suffix(1);
    }
    static constexpr std::array<std::string_view, 6> devices = {"CON", "PRN",    "AUX",
                                                                "NUL", "CONIN$", "CONOUT$"};
    for (const std::string_view device : devices) {
        if (MatchesUpper(base, device)) {
            return true;
        }
    }
    if (base.size() != 4 || !IsPortDigit(static_cast<char32_t>(base[3]))) {
        return false;
    }
    return MatchesUpper(base.substr(0, 3), "COM") || MatchesUpper(base.substr(0, 3), "LPT");
}

// Windows gives a long name a second name of up to 8 characters, a dot and up to 3 more, made
// with a `~` (ORVAND~1.DLL; Wine makes ORVA~X0K.DLL), and opens the file by either. A long
// name with a `~` cannot be such an alias and stays allowed.
template <class Char> bool MayBeShortNameAlias(std::basic_string_view<Char> name) {
    if (name.find(Char('~')) == name.npos) {
        return false;
    }
    const std::size_t dot = name.find(Char('.'));
    if (dot == name.npos) {
        return name.size() <= 8;
    }
    return dot >= 1 && dot <= 8 && name.size() - dot - 1 <= 3 &&
           name.find(Char('.'), dot + 1) == name.npos;
}

template <class Char> TNameFault CheckComponent(std::basic_string_view<Char> name) {
    if (name.empty()) {
        return TNameFault::Empty;
    }
    if (name.size() <= 2 && name.find_first_not_of(Char('.')) == name.npos) {
        return TNameFault::DotName;
    }
    for (const Char ch : name) {
        if (static_cast<char32_t>(ch) < 0x20) {
            return TNameFault::ControlCharacter;
        }
        if (IsForbiddenCharacter(static_cast<char32_t>(ch))) {
            return TNameFault::ForbiddenCharacter;
        }
    }
    if (name.back() == Char('.') || name.back() == Char(' ')) {
        return TNameFault::TrailingDotOrBlank;
    }
    if (IsDeviceName(name)) {
        return TNameFault::DeviceName;
    }
    return MayBeShortNameAlias(name) ? TNameFault::ShortNameAlias : TNameFault::None;
}

template <class Char> bool IsInstaller(std::basic_string_view<Char> name) {
    const std::size_t dot = name.rfind(Char('.'));
    if (dot == name.npos) {
        return false;
    }
    const std::basic_string_view<Char> extension = name.substr(dot + 1);
    return MatchesUpper(extension, "EXE") || MatchesUpper(extension, "MSI");
}

} // namespace

const char* DescribeNameFault(TNameFault fault) {
    static_assert(LongestArchivePath == 32767 && DeepestFolderLevel == 128,
                  "the reasons name the limits");
    switch (fault) {
    case TNameFault::None:
        break;
    case TNameFault::Empty:
        return "an empty name, as in a path that starts with a separator or holds two in a row";
    case TNameFault::DotName:
        return "a name that stands for a folder itself or its parent (. or ..)";
    case TNameFault::ForbiddenCharacter:
        return "a name with a character that Windows refuses in one: \\ / : < > \" | ? *";
    case TNameFault::ControlCharacter:
        return "a name with a control character, which Windows refuses in one";
    case TNameFault::TrailingDotOrBlank:
        return "a name that ends in a dot or a blank, which Windows drops";
    case TNameFault::DeviceName:
        return "a device name of Windows (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$), "
               "with or without an extension";
    case TNameFault::ShortNameAlias:
        return "an 8.3 name with a ~, which may be the short name of another file";
    case TNameFault::TooLong:
        return "a path of more than 32767 UTF-16 units, longer than Windows takes";
    case TNameFault::TooDeep:
        return "a path more than 128 folders deep";
    }
    return "a name that passes";
}

TNameFault CheckNameComponent(std::u16string_view name) {
    return CheckComponent(name);
}

TNameFault CheckNameComponent(std::wstring_view name) {
    return CheckComponent(name);
}

bool IsSafeNameComponent(std::u16string_view name) {
    return CheckComponent(name) == TNameFault::None;
}

bool IsSafeNameComponent(std::wstring_view name) {
    return CheckComponent(name) == TNameFault::None;
}

bool IsInstallerName(std::u16string_view name) {
    return IsInstaller(name);
}

bool IsInstallerName(std::wstring_view name) {
    return IsInstaller(name);
}

TScreenedPath ScreenEntryName(std::u16string_view name) {
    TScreenedPath screened;
    std::u16string& path = screened.path;
    std::size_t components = 0;
    bool isFolder = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find_first_of(u"/\\", start);
        const std::u16string_view component = name.substr(start, end - start);
        const bool last = end == std::u16string_view::npos;
        if (last && component.empty() && start != 0) {
            isFolder = true; // the name ends in a separator
        } else if (component == u".") {
            isFolder = last; // "a/." names the folder a
        } else {
            if (const TNameFault fault = CheckComponent(component); fault != TNameFault::None) {
                return {std::u16string(), fault, std::u16string(component)};
            }
            if (components++ != 0) {
                path += u'/';
            }
            path += component;
            isFolder = false;
        }
        if (last) {
            break;
        }
        start = end + 1;
    }
    // A name of nothing but `.` components is a folder, so no count goes below zero.
    const std::size_t folders = isFolder ? components : components - 1;
    if (path.size() > LongestArchivePath || folders > DeepestFolderLevel) {
        return {std::u16string(),
                path.size() > LongestArchivePath ? TNameFault::TooLong : TNameFault::TooDeep,
                std::u16string(name)};
    }
    if (isFolder && !path.empty()) {
        path += u'/';
    }
    return screened;
}

std::string DescribeRefusal(const TScreenedPath& screened, std::u16string_view name) {
    const char* reason = DescribeNameFault(screened.fault);
    if (screened.refused == name) {
        return reason;
    }
    // Built by appending: GCC 12 warns wrongly of overlapping copies in a literal + string chain.
    std::string text(1, '"');
    text += EncodeUtf8(screened.refused);
    text += "\" is ";
    text += reason;
    return text;
}

std::optional<std::u16string> ScreenEntryPath(std::u16string_view name) {
    TScreenedPath screened = ScreenEntryName(name);
    if (screened.fault != TNameFault::None) {
        return std::nullopt;
    }
    return std::move(screened.path);
}
