#pragma once

#include <objbase.h>

// Creates the class factory of our zip archive component. Its CreateInstance makes an archive
// object that answers IPersistFile (Load opens the archive) and IStorage (its root folder).
// The factory comes back with one reference that the caller releases. With a held file, its
// archive objects read that open file (see CArchiveObject), which must stay open until the load.
HRESULT CreateArchiveClassFactory(IClassFactory** factory, HANDLE heldFile = INVALID_HANDLE_VALUE);
