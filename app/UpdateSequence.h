#pragma once

#include <string>
#include <string_view>

// A folder of its own for one run's extraction: a new GUID below the user's temporary directory.
std::wstring MakeExtractionFolderName();

// The whole run of the updater for the command line that follows its own name: waits for the
// application to quit, installs the update with backups, restores them on failure and starts
// the application again. Always 0; a malformed command line changes nothing.
int RunUpdate(std::wstring_view commandLine) noexcept;
