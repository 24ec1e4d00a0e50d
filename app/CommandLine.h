#pragma once

#include <optional>
#include <string>
#include <string_view>

// The five quoted fields with which the application starts the updater.
struct TCommandLine {
    std::wstring applicationPath;
    std::wstring mutexName;
    std::wstring archivePath;
    std::wstring fourthField;
    std::wstring deleteArchiveFlag;
};

// The text after the program's name: "<field 1>" "<field 2>" "<field 3>" "<field 4>" "<field 5>",
// with exactly one separator character of any value between a closing and the next opening
// quote. Fields hold no quotes; the first three must not be empty. The closing quote of the
// last field is optional and whatever follows it is ignored. Anything else is refused.
std::optional<TCommandLine> ParseCommandLine(std::wstring_view commandLine);

// The five fields as ParseCommandLine reads them back, with one blank between two.
std::wstring FormatCommandLine(const TCommandLine& fields);
