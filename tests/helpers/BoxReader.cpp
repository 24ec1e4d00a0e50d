// Reads a message box of another process, so that a test can check its exact text:
//   box_reader CAPTION OUTPUT_FILE
// writes the caption and then, one line each, the class and text of every control of the first
// dialog window with that caption. Exits with 1 when there is no such window.

#include "HelperSupport.h"

#include <iterator>

namespace {

constexpr wchar_t DialogClass[] = L"#32770";

std::wstring GetText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring GetClass(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, static_cast<int>(std::size(name)));
    return name;
}

BOOL CALLBACK CollectControl(HWND window, LPARAM lines) {
    reinterpret_cast<std::vector<std::wstring>*>(lines)->push_back(GetClass(window) + L"\t" +
                                                                   GetText(window));
    return TRUE;
}

} // namespace

int main() {
    const std::vector<std::wstring> arguments = GetArguments();
    if (arguments.size() != 2) {
        return 2;
    }
    const HWND box = FindWindowW(DialogClass, arguments[0].c_str());
    if (!box) {
        return 1;
    }
    std::vector<std::wstring> lines{GetText(box)};
    EnumChildWindows(box, CollectControl, reinterpret_cast<LPARAM>(&lines));
    DeleteFileW(arguments[1].c_str());
    for (const std::wstring& line : lines) {
        AppendLine(arguments[1], line);
    }
    return 0;
}
