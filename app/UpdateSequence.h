#pragma once

#include <string_view>

// The whole run of the updater for the command line that follows its own name: waits for the
// application to quit, installs the update with backups, restores them on failure and starts
// the application again. Always 0; a malformed command line changes nothing.
int RunUpdate(std::wstring_view commandLine);
