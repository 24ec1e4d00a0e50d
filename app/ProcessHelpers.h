#pragma once

#include "common/Handle.h"

#include <string>

// The first running process whose executable name equals name exactly, letter case included,
// opened with the given access. The handle is not valid when there is no such process, when
// the processes cannot be listed, or when the first match cannot be opened.
CObjectHandle FindProcessByName(const std::wstring& name, DWORD access);

// Starts "<path>" followed by a blank and the arguments, if there are any; true when the
// process was created.
bool LaunchProcess(const std::wstring& path, const std::wstring& arguments = std::wstring());

// The full path of the running program, of any length.
std::wstring GetProgramPath();
