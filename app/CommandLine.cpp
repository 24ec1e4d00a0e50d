#include "app/CommandLine.h"

std::optional<TCommandLine> ParseCommandLine(std::wstring_view commandLine) {
    TCommandLine parsed;
    std::wstring* const fields[] = {&parsed.applicationPath, &parsed.mutexName, &parsed.archivePath,
                                    &parsed.fourthField, &parsed.deleteArchiveFlag};
    const std::size_t lastField = std::size(fields) - 1;
    std::size_t opening = 0;
    for (std::size_t i = 0; i <= lastField; ++i) {
        if (opening >= commandLine.size() || commandLine[opening] != L'"') {
            return std::nullopt;
        }
        std::size_t closing = commandLine.find(L'"', opening + 1);
        if (closing == std::wstring_view::npos) {
            if (i != lastField) {
                return std::nullopt;
            }
            closing = commandLine.size();
        }
        fields[i]->assign(commandLine.substr(opening + 1, closing - opening - 1));
        // One separator character, then the next opening quote.
        opening = closing + 2;
    }
    if (parsed.applicationPath.empty() || parsed.mutexName.empty() || parsed.archivePath.empty()) {
        return std::nullopt;
    }
    return parsed;
}

std::wstring FormatCommandLine(const TCommandLine& fields) {
    return L'"' + fields.applicationPath + L"\" \"" + fields.mutexName + L"\" \"" +
           fields.archivePath + L"\" \"" + fields.fourthField + L"\" \"" +
           fields.deleteArchiveFlag + L'"';
}
