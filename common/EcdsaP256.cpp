#include "common/EcdsaP256.h"

#include "common/CngFunctions.h"

#include <algorithm>
#include <vector>

namespace {

constexpr ULONG CoordinateSize = 32;
constexpr NTSTATUS InvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

} // namespace

bool VerifyP256Signature(std::span<const std::uint8_t, 65> point, const TSha256Digest& digest,
                         std::span<const std::uint8_t, 64> signature) {
    const TCngFunctions& cng = GetCngFunctions();
    const CCryptAlgorithm algorithm = OpenCngAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    // The public key blob is the header and X||Y, without the point's leading 0x04.
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * CoordinateSize);
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, CoordinateSize};
    std::copy_n(reinterpret_cast<const unsigned char*>(&header), sizeof header, blob.begin());
    std::copy(point.begin() + 1, point.end(), blob.begin() + sizeof header);
    CCryptKey publicKey;
    CheckCngStatus(L"BCryptImportKeyPair",
                   cng.importKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                     publicKey.Put(), blob.data(), static_cast<ULONG>(blob.size()),
                                     0));
    const NTSTATUS status =
        cng.verifySignature(publicKey.Get(), nullptr, const_cast<PUCHAR>(digest.data()),
                            static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(signature.data()),
                            static_cast<ULONG>(signature.size()), 0);
    if (status == InvalidSignature) {
        return false;
    }
    CheckCngStatus(L"BCryptVerifySignature", status);
    return true;
}
