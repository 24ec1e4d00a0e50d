#pragma once

#include "core/ZipArchive.h"

#include <objbase.h>

#include <string>

// Describes an item as COM expects: a storage for a folder, a stream with its uncompressed
// size for a file; the name, unless the flag asks for none, in memory from CoTaskMemAlloc that
// the receiver frees.
HRESULT FillElementInfo(STATSTG& info, const TZipItem& item, DWORD statFlag);

// Names arrive from COM as wide strings, which are UTF-16 on Windows.
std::u16string ToArchiveName(const wchar_t* name);
