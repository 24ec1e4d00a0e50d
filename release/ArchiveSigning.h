#pragma once

#include "core/SignatureBlock.h"
#include "release/DiskFile.h"
#include "release/SigningKey.h"

enum class TSignOutcome {
    Signed,
    Replaced, // an earlier signature block gave way to the new one
    Foreign,  // not signed: the comment holds something else, or data follows it
};

// Writes the key's signature into the archive's end record comment in place: the file is cut
// where the signed range ends and the new comment length and block follow. Any comment but an
// earlier signature block is left alone, since signing would destroy it.
TSignOutcome SignArchive(CDiskFile& archive, const CSigningKey& key);

// The updater's decision on the archive's signature, with this one public key accepted. Only a
// file that cannot be read throws (a CZipException).
TSignatureVerdict VerifyArchive(const CByteSource& archive, const CSigningKey& key);
