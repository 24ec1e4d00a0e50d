#pragma once

#include "common/Handle.h"
#include "unzip/UpdateKeys.h"
#include "zip/core/SignatureBlock.h"

#include <span>
#include <string>

// The archive opened so that nobody can write, rename or delete it while the handle is held:
// the bytes whose signature was checked are the bytes unpacked. Throws the unzip failure.
CFileHandle OpenHeldArchive(const std::wstring& path);

// The key's id as the signature block names it.
TKeyId GetKeyId(const TUpdateKey& key);

// Decides the held archive's signature by the accepted keys with the platform's cryptography.
// Throws COrvException when the archive cannot be read or the cryptography itself fails.
TSignatureVerdict CheckArchiveSignature(HANDLE archive, std::span<const TUpdateKey> keys);
