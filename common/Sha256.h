#pragma once

#include "common/Handle.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

using TSha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of bytes given in order, by Windows' cryptography. Every failure of it, bcrypt.dll
// that cannot be had included, throws COrvException with the reason. Used by one thread at a
// time.
class CSha256 {
public:
    CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;
    virtual ~CSha256() = default;

    void Add(const void* bytes, std::size_t size);

    // [from, to) of a source with the reader's positional ReadAt (a CByteSource), read in pieces
    // of a few MiB; false, with the digest incomplete, where the source cannot give them.
    template <class Source>
    bool AddRange(const Source& source, std::uint64_t from, std::uint64_t to);

    // The digest of everything added; called once.
    TSha256Digest Finish();

private:
    // Large enough that the hash, not the calls, sets the pace.
    static constexpr std::uint64_t RangePiece = 4 * 1024 * 1024;

    CCryptAlgorithm m_algorithm;
    CCryptHash m_hash;
};

template <class Source>
bool CSha256::AddRange(const Source& source, std::uint64_t from, std::uint64_t to) {
    if (from >= to) {
        return true;
    }
    std::vector<unsigned char> piece(static_cast<std::size_t>(std::min(to - from, RangePiece)));
    while (from < to) {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(to - from, piece.size()));
        if (!source.ReadAt(from, piece.data(), size)) {
            return false;
        }
        Add(piece.data(), size);
        from += size;
    }
    return true;
}
