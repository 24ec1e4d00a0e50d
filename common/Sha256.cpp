#include "common/Sha256.h"

#include "common/CngFunctions.h"

#include <limits>

CSha256::CSha256() : m_algorithm(OpenCngAlgorithm(BCRYPT_SHA256_ALGORITHM)) {
    CheckCngStatus(
        L"BCryptCreateHash",
        GetCngFunctions().createHash(m_algorithm.Get(), m_hash.Put(), nullptr, 0, nullptr, 0, 0));
}

void CSha256::Add(const void* bytes, std::size_t size) {
    const TCngFunctions& cng = GetCngFunctions();
    // CNG counts in 32 bits.
    auto* next = static_cast<UCHAR*>(const_cast<void*>(bytes));
    while (size != 0) {
        const ULONG step =
            static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
        CheckCngStatus(L"BCryptHashData", cng.hashData(m_hash.Get(), next, step, 0));
        next += step;
        size -= step;
    }
}

TSha256Digest CSha256::Finish() {
    TSha256Digest digest{};
    CheckCngStatus(L"BCryptFinishHash",
                   GetCngFunctions().finishHash(m_hash.Get(), digest.data(),
                                                static_cast<ULONG>(digest.size()), 0));
    return digest;
}
