#pragma once

#include "common/Handle.h"

#include <string>

// Windows refuses paths of MAX_PATH characters or more (folders already from 248) unless they
// take the "\\?\" form, which in turn skips all normalisation. Long paths are therefore made
// absolute and normalised first; short ones are returned unchanged.
std::wstring ToExtendedLengthPath(const std::wstring& path);

bool PathExists(const std::wstring& path);
// INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD GetPathAttributes(const std::wstring& path);

// The user's temporary directory, of any length, with its trailing separator. Throws
// "Unknown error" when Windows gives none: a relative folder must never stand in for it.
std::wstring GetTempDirectory();

// ERROR_SUCCESS, or why the file could not be moved. Under Wine every lookup of a name that is
// not there scans the whole folder, so trying the move is cheaper than asking first.
DWORD MoveFileAndGetError(const std::wstring& from, const std::wstring& to);
DWORD MoveFileReplacingAndGetError(const std::wstring& from, const std::wstring& to);

// Deletes the file whether it is read-only or not.
DWORD DeleteFileAndGetError(const std::wstring& path);

// Removes the folder with everything below it, at any depth. It goes on past whatever cannot be
// removed and answers the first failure, or ERROR_SUCCESS; a folder that is not there is no
// failure. Links below it are removed, never followed.
DWORD RemoveFolderTree(const std::wstring& folder);

// Only INVALID_HANDLE_VALUE is a failure; a null handle counts as usable.
bool CheckFileHandle(HANDLE handle, std::wstring& errorText);

// Opens or creates the file for writing without sharing; its content is left as it was.
bool OpenFileForWriting(CFileHandle& handle, const std::wstring& path, std::wstring& errorText);

bool WriteBufferToFile(const CFileHandle& handle, const void* data, DWORD size, DWORD& written,
                       std::wstring& errorText);
