#include "unzip/ArchiveSignature.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "zip/FileByteSource.h"
#include "zip/core/ZipFault.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t DigestSize = 32;
constexpr std::size_t CoordinateSize = 32;
// Large enough that the hash, not the calls, sets the pace.
constexpr std::size_t HashPiece = 4 * 1024 * 1024;
constexpr NTSTATUS InvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

using TDigest = std::array<std::uint8_t, DigestSize>;

[[noreturn]] void ThrowCryptoFailure(const wchar_t* call, NTSTATUS status) {
    wchar_t text[96] = {};
    std::swprintf(text, std::size(text), L"the signature check failed: %ls returned 0x%08lX", call,
                  static_cast<unsigned long>(status));
    throw COrvException(text, 0);
}

void CheckStatus(const wchar_t* call, NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) {
        ThrowCryptoFailure(call, status);
    }
}

CCryptAlgorithm OpenAlgorithm(const wchar_t* name) {
    CCryptAlgorithm algorithm;
    CheckStatus(L"BCryptOpenAlgorithmProvider",
                BCryptOpenAlgorithmProvider(algorithm.Put(), name, nullptr, 0));
    return algorithm;
}

// SHA-256 of [0, length) of the source, read in pieces.
TDigest HashRange(const CByteSource& source, std::uint64_t length) {
    const CCryptAlgorithm algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    CCryptHash hash;
    CheckStatus(L"BCryptCreateHash",
                BCryptCreateHash(algorithm.Get(), hash.Put(), nullptr, 0, nullptr, 0, 0));
    std::vector<unsigned char> piece(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, HashPiece)));
    for (std::uint64_t done = 0; done < length;) {
        const ULONG size = static_cast<ULONG>(std::min<std::uint64_t>(length - done, piece.size()));
        if (!source.ReadAt(done, piece.data(), size)) {
            ThrowUnzipError();
        }
        CheckStatus(L"BCryptHashData", BCryptHashData(hash.Get(), piece.data(), size, 0));
        done += size;
    }
    TDigest digest{};
    CheckStatus(L"BCryptFinishHash",
                BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
    return digest;
}

bool VerifyDigest(const TUpdateKey& key, const TDigest& digest, const TSignatureBlock& block) {
    const CCryptAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    // The public key blob is the header and X||Y, without the point's leading 0x04.
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * CoordinateSize);
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, CoordinateSize};
    std::copy_n(reinterpret_cast<const unsigned char*>(&header), sizeof header, blob.begin());
    std::copy(key.point.begin() + 1, key.point.end(), blob.begin() + sizeof header);
    CCryptKey publicKey;
    CheckStatus(L"BCryptImportKeyPair",
                BCryptImportKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                    publicKey.Put(), blob.data(), static_cast<ULONG>(blob.size()),
                                    0));
    const NTSTATUS status = BCryptVerifySignature(
        publicKey.Get(), nullptr, const_cast<PUCHAR>(digest.data()),
        static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(block.signature.data()),
        static_cast<ULONG>(block.signature.size()), 0);
    if (status == InvalidSignature) {
        return false;
    }
    CheckStatus(L"BCryptVerifySignature", status);
    return true;
}

} // namespace

CFileHandle OpenHeldArchive(const std::wstring& path) {
    CFileHandle file(CreateFileW(ToExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        ThrowUnzipError();
    }
    return file;
}

TKeyId GetKeyId(const TUpdateKey& key) {
    const CMemoryByteSource point(std::vector<unsigned char>(key.point.begin(), key.point.end()));
    const TDigest digest = HashRange(point, key.point.size());
    TKeyId id{};
    std::copy_n(digest.begin(), id.size(), id.begin());
    return id;
}

TSignatureVerdict CheckArchiveSignature(HANDLE archive, std::span<const TUpdateKey> keys) {
    std::unique_ptr<CByteSource> source;
    CheckHResult(ShareFileByteSource(archive, source));
    TSignedRange range;
    try {
        range = LocateSignedRange(*source);
    } catch (const CZipException& fault) {
        if (fault.GetFault() == ZipFault::ReadFailed) {
            ThrowUnzipError();
        }
        // Without an end record there is no place for a signature either.
        return TSignatureVerdict::Malformed;
    }
    std::vector<TKeyId> ids;
    std::transform(keys.begin(), keys.end(), std::back_inserter(ids), GetKeyId);
    return DecideSignature(range, ids, [&](const TSignatureBlock& block, std::size_t index) {
        return VerifyDigest(keys[index], HashRange(*source, range.length), block);
    });
}
