#pragma once

#include "core/SignatureBlock.h"
#include "release/DiskFile.h"
#include "release/SigningKey.h"

#include <string>

enum class TSignOutcome {
    Signed,
    Replaced, // an earlier signature block gave way to the new one
    Foreign,  // not signed: the comment holds something else, or data follows it
};

// Writes the key's signature into the archive's end record comment in place: the file is cut
// where the signed range ends and the new comment length and block follow. Any comment but an
// earlier signature block is left alone, since signing would destroy it. For a file that the
// run has made itself and not yet given its name.
TSignOutcome SignArchive(CDiskFile& archive, const CSigningKey& key);
// The same for an archive that is someone's already: the signed archive is written whole under a
// temporary name beside it and takes its name only once it is on the disk, with the archive's
// mode, so that any failure (a full disk, an interrupt) leaves the archive as it was.
TSignOutcome SignArchiveFile(const std::string& path, const CSigningKey& key);

// The updater's decision on the archive's signature, with this one public key accepted. Only a
// file that cannot be read throws (a CZipException).
TSignatureVerdict VerifyArchive(const CByteSource& archive, const CSigningKey& key);
