#pragma once

#include "common/Handle.h"

#include <aclapi.h>

#include <string>

// Windows refuses paths of MAX_PATH characters or more (folders already from 248) unless they
// take the "\\?\" form, which in turn skips all normalisation. Long paths are therefore made
// absolute and normalised first; short ones are returned unchanged.
std::wstring ToExtendedLengthPath(const std::wstring& path);

// Two spellings of one existing file or folder: with each component in its generated 8.3 name
// where the volume keeps one and it is shorter, and with each such name spelled out. A path
// that is not there, or that Windows cannot convert, comes back as it was.
std::wstring GetShortPathForm(const std::wstring& path);
std::wstring GetLongPathForm(const std::wstring& path);

bool PathExists(const std::wstring& path);
// INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD GetPathAttributes(const std::wstring& path);

// The user's temporary directory, of any length, with its trailing separator. Throws
// "Unknown error" when Windows gives none: a relative folder must never stand in for it.
std::wstring GetTempDirectory();

// Every change that the install and its recovery make to the disk passes this gate first, so
// that a test can end a run right after any one of them, as a death there would: what the gate
// refuses is not done and fails with ERROR_NOT_READY. Nothing but such a test sets a gate.
enum class TDiskChange { Move, Delete, CreateFolder, RemoveFolder, Write, Flush };
using DiskChangeGate = bool (*)(TDiskChange change);
void SetDiskChangeGate(DiskChangeGate gate);
bool PassDiskChangeGate(TDiskChange change);

// ERROR_SUCCESS, or why the file could not be moved. Under Wine every lookup of a name that is
// not there scans the whole folder, so trying the move is cheaper than asking first.
DWORD MoveFileAndGetError(const std::wstring& from, const std::wstring& to);
DWORD MoveFileReplacingAndGetError(const std::wstring& from, const std::wstring& to);
// A move from the extraction folder, which may lie on another volume than the target: the move is
// then a copy and a delete, and the copy has reached the disk when it returns. With replacing, a
// file at the target (a copy that was cut short) is overwritten.
DWORD MoveFileInAndGetError(const std::wstring& from, const std::wstring& to, bool replacing);

// The whole file, also one that its writer holds open: ERROR_SUCCESS, ERROR_FILE_TOO_LARGE when
// it holds more than limit bytes, or why it could not be opened or read to its end.
DWORD ReadWholeFile(const std::wstring& path, std::string& text,
                    std::size_t limit = static_cast<std::size_t>(-1));

// Deletes the file whether it is read-only or not.
DWORD DeleteFileAndGetError(const std::wstring& path);

DWORD CreateFolderAndGetError(const std::wstring& path);
// Only an empty folder is removed.
DWORD RemoveFolderAndGetError(const std::wstring& path);
// Renames and moves in a folder reach the disk in no promised order unless the folder itself is
// flushed.
DWORD FlushFolderAndGetError(const std::wstring& path);

// Removes the folder with everything below it, at any depth. It goes on past whatever cannot be
// removed and answers the first failure, or ERROR_SUCCESS; a folder that is not there is no
// failure. Links below it are removed, never followed.
DWORD RemoveFolderTree(const std::wstring& folder);

using SetSecurityFunction = DWORD(WINAPI*)(LPWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID,
                                           PACL, PACL);

// A file moved within a volume keeps the access rights it got where it was written: in the
// user's temporary folder, readable by that user alone. Its own entries are dropped, so that it
// has those of the folder it is in now, as a file created there would. A failure leaves the file
// as it was: it is still usable by whoever installed it.
void InheritFolderAccess(const std::wstring& path,
                         SetSecurityFunction setSecurity = SetNamedSecurityInfoW);

// Whether a file created in either folder gets the same access rights: both DACLs pass the same
// entries on to files, in the same order. That makes InheritFolderAccess a change to nothing for
// a file moved from one to the other. False where either folder's rights cannot be read.
bool PassSameAccessToFiles(const ACL* first, const ACL* second);
bool FoldersPassSameAccessToFiles(const std::wstring& first, const std::wstring& second);

// Only INVALID_HANDLE_VALUE is a failure; a null handle counts as usable.
bool CheckFileHandle(HANDLE handle, std::wstring& errorText);

// Creates a new file for writing, without sharing. A file that is there already is never opened:
// in a folder that was empty, it is another name for a file written before (a different letter
// case, a short name, a folding of the file system), which the caller must not overwrite.
bool OpenFileForWriting(CFileHandle& handle, const std::wstring& path, std::wstring& errorText);

bool WriteBufferToFile(const CFileHandle& handle, const void* data, DWORD size, DWORD& written,
                       std::wstring& errorText);

// A rename that reaches the disk must never point at data that did not: after a power cut the
// application would find the names of the update over empty or torn files. The file is closed
// whether or not its data reached the disk; false when it did not.
bool FlushAndCloseFile(CFileHandle& file);
