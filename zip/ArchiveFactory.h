#pragma once

#include "core/ByteSource.h"

#include <objbase.h>

#include <memory>

// Creates the class factory of our zip archive component. Its CreateInstance makes an archive
// object that answers IPersistFile (Load opens the archive) and IStorage (its root folder).
// The factory comes back with one reference that the caller releases. Given the bytes of a held
// file, its archive objects read those (see CArchiveObject).
HRESULT CreateArchiveClassFactory(IClassFactory** factory,
                                  std::shared_ptr<const CByteSource> heldFile = nullptr);
