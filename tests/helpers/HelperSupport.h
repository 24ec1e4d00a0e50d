#pragma once

#include "app/ProcessHelpers.h"

#include <windows.h>

#include <string>
#include <vector>

// What the small test programs have in common: they find their files beside themselves, talk
// to the test through files (any path, any characters), and end on a signal file or a timeout.

// The folder of the running program, without a trailing separator.
std::wstring GetProgramFolder();

// The program's arguments, without its own name.
std::vector<std::wstring> GetArguments();

// UTF-16 when the file starts with the UTF-16 byte-order mark, UTF-8 otherwise (a UTF-8 mark is
// skipped). The text is taken byte for byte: nothing is trimmed.
bool ReadTextFile(const std::wstring& path, std::wstring& text);

// Lines without their line breaks; a blank at the end of a line is kept.
std::vector<std::wstring> SplitLines(const std::wstring& text);

// Appends the line and a line break, UTF-8 encoded; other processes may append at the same time.
bool AppendLine(const std::wstring& path, const std::wstring& line);

bool CreateEmptyFile(const std::wstring& path);

// Sleeps until the file exists or the time is up; true when the file appeared.
bool WaitForFile(const std::wstring& path, DWORD milliseconds);

// For programs that hold something until told to let go: "ready" appears in the signal folder
// once the caller holds it, and the wait ends when "stop" appears there or after the seconds.
// Without a signal folder it only waits.
void HoldUntilStopped(const std::wstring& seconds, const std::wstring& signalFolder);
