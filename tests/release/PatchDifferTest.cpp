#include "release/PatchDiffer.h"
#include "core/BinaryPatch.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;

std::string Diff(const TBytes& old, const TBytes& made, TDiffWork* work = nullptr) {
    std::string patch;
    const TDiffWork done =
        DiffFiles(old, made, [&](std::string_view piece) { patch.append(piece); });
    if (work != nullptr) {
        *work = done;
    }
    return patch;
}

// Through the updater's own applier, fed in uneven pieces as an archive's stream gives them.
TBytes Apply(const TBytes& old, const std::string& patch) {
    TBytes made;
    CPatchApplier applier(
        old.size(),
        [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            std::memcpy(into.data(), old.data() + offset, into.size());
        },
        [&](std::span<const std::uint8_t> bytes) {
            made.insert(made.end(), bytes.begin(), bytes.end());
        });
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(patch.data());
    for (std::size_t at = 0; at < patch.size(); at += 4093) {
        applier.Feed({bytes + at, std::min<std::size_t>(4093, patch.size() - at)});
    }
    applier.Finish();
    return made;
}

std::size_t DeflatedSize(const void* bytes, std::size_t size) {
    uLongf length = compressBound(static_cast<uLong>(size));
    std::vector<Bytef> out(length);
    EXPECT_EQ(compress2(out.data(), &length, static_cast<const Bytef*>(bytes),
                        static_cast<uLong>(size), 9),
              Z_OK);
    return length;
}

TBytes Random(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    TBytes bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// A text-like file, which deflate shrinks as it does real files.
TBytes Words(std::size_t size, std::uint32_t seed) {
    static const char* const words[] = {"update ", "archive ", "version ", "file ",
                                        "patch ",  "record ",  "folder ",  "install\n"};
    std::mt19937 random(seed);
    TBytes bytes;
    while (bytes.size() < size) {
        const char* word = words[random() % 8];
        bytes.insert(bytes.end(), word, word + std::strlen(word));
        bytes.push_back(static_cast<std::uint8_t>('0' + random() % 10));
    }
    bytes.resize(size);
    return bytes;
}

TBytes InsertBlocks(TBytes bytes, std::uint32_t seed) {
    std::mt19937 random(seed);
    for (int block = 0; block < 20; ++block) {
        const TBytes inserted = Random(1 + random() % 4096, random());
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(random() % bytes.size()),
                     inserted.begin(), inserted.end());
    }
    return bytes;
}

TBytes DeleteBlocks(TBytes bytes, std::uint32_t seed) {
    std::mt19937 random(seed);
    for (int block = 0; block < 20; ++block) {
        const std::size_t start = random() % (bytes.size() - 5000);
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                    bytes.begin() + static_cast<std::ptrdiff_t>(start + 1 + random() % 4096));
    }
    return bytes;
}

// Machine code in the way a compiler changes it: calls of functions at fixed targets, encoded
// relative to where each call is, so that code inserted in the middle changes the displacement
// of every call across it, as bsdiff's ADD records are made for.
TBytes ShiftedCode(std::size_t calls, std::size_t inserted, std::uint32_t seed) {
    std::mt19937 random(seed);
    TBytes code;
    for (std::size_t call = 0; call < calls; ++call) {
        if (call == calls / 2) {
            const TBytes filler = Random(inserted, seed + 1);
            code.insert(code.end(), filler.begin(), filler.end());
        }
        const std::uint32_t target = static_cast<std::uint32_t>(random() % 4096) * 64;
        const std::uint32_t from = static_cast<std::uint32_t>(code.size() + 5);
        const std::uint32_t displacement = target - from;
        code.push_back(0xe8);
        for (int shift = 0; shift < 32; shift += 8) {
            code.push_back(static_cast<std::uint8_t>(displacement >> shift));
        }
        for (std::uint32_t filler = 8 + random() % 32; filler > 0; --filler) {
            code.push_back(static_cast<std::uint8_t>(random() % 64));
        }
    }
    return code;
}

// Runs of one byte each, of lengths up to 64 KiB; every so many runs, the new file's is of
// another length.
TBytes Runs(std::size_t count, std::size_t changedEvery) {
    std::mt19937 random(11);
    TBytes bytes;
    for (std::size_t run = 0; run < count; ++run) {
        const auto value = static_cast<std::uint8_t>(random() % 3);
        const std::size_t length = 1 + random() % 65536;
        bytes.insert(bytes.end(), run % changedEvery == 1 ? length / 2 : length, value);
    }
    return bytes;
}

TBytes Mutate(TBytes bytes, std::size_t every, std::uint8_t change) {
    for (std::size_t at = every / 2; at < bytes.size(); at += every) {
        bytes[at] ^= change;
    }
    return bytes;
}

// Many copies of one block, each copy of the old and the new file changed in other places: every
// alignment of the blocks is nearly as good as the current one, bsdiff's slow case.
TBytes EqualBlocks(std::size_t copies, std::size_t every, std::uint8_t change) {
    const TBytes block = Random(1024, 9);
    TBytes bytes;
    for (std::size_t copy = 0; copy < copies; ++copy) {
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    return Mutate(bytes, every, change);
}

struct TPair {
    const char* name;
    std::function<TBytes()> old;
    std::function<TBytes()> made;
    // The deflated patch at most this share of the new file deflated whole.
    double deflatedShare;
};

class PatchRoundTrip : public testing::TestWithParam<TPair> {};

TEST_P(PatchRoundTrip, ApplierMakesTheNewFileFromAPatchSmallerThanTheFile) {
    const TBytes old = GetParam().old();
    const TBytes made = GetParam().made();
    const std::string patch = Diff(old, made);
    EXPECT_EQ(Apply(old, patch), made);
    EXPECT_LE(static_cast<double>(DeflatedSize(patch.data(), patch.size())),
              GetParam().deflatedShare *
                      static_cast<double>(DeflatedSize(made.data(), made.size())) +
                  64);
    EXPECT_EQ(Diff(old, made), patch) << "the same pair gives the same patch";
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, PatchRoundTrip,
    testing::Values(
        TPair{"Unrelated", [] { return Random(300000, 1); }, [] { return Random(200000, 2); },
              1.01},
        TPair{"Identical", [] { return Words(500000, 3); }, [] { return Words(500000, 3); }, 0.01},
        TPair{"InsertedBlocks", [] { return Words(500000, 4); },
              [] { return InsertBlocks(Words(500000, 4), 5); }, 0.4},
        TPair{"DeletedBlocks", [] { return Words(500000, 6); },
              [] { return DeleteBlocks(Words(500000, 6), 7); }, 0.05},
        TPair{"ScatteredChanges", [] { return Random(400000, 8); },
              [] { return Mutate(Random(400000, 8), 3001, 0x20); }, 0.05},
        TPair{"ShiftedCode", [] { return ShiftedCode(60000, 0, 10); },
              [] { return ShiftedCode(60000, 3000, 10); }, 0.2},
        // Deflate takes runs to almost nothing whole; the patch only must not grow with them.
        TPair{"OneByteRuns", [] { return Runs(200, 1000); }, [] { return Runs(200, 10); }, 2.0},
        TPair{"EqualBlocks", [] { return EqualBlocks(800, 7000, 2); },
              [] { return EqualBlocks(800, 3000, 1); }, 0.5},
        TPair{"EmptyOld", [] { return TBytes{}; }, [] { return Words(100000, 14); }, 1.01},
        TPair{"EmptyNew", [] { return Words(100000, 15); }, [] { return TBytes{}; }, 1.0},
        TPair{"BothEmpty", [] { return TBytes{}; }, [] { return TBytes{}; }, 1.0},
        TPair{"OneByteEach", [] { return TBytes{7}; }, [] { return TBytes{8}; }, 1.0},
        // Larger than a record's piece, so that both kinds of record are split.
        TPair{"LongCopy", [] { return Random(1000, 16); }, [] { return Random(3500000, 17); },
              1.01},
        TPair{"LongAdd", [] { return Random(3000000, 18); },
              [] { return Mutate(Random(3000000, 18), 100000, 1); }, 0.01}),
    [](const testing::TestParamInfo<TPair>& info) { return std::string(info.param.name); });

// The caller may drop what the differ says it has passed: the bytes there are garbage then.
TEST(PatchDiffer, NeverReadsTheNewBytesItHasPassed) {
    const TBytes old = Random(40 << 20, 20);
    const TBytes made = InsertBlocks(Mutate(old, 70001, 0x40), 21);
    TBytes dropped = made;
    std::uint64_t lastPassed = 0;
    std::string patch;
    DiffFiles(
        old, dropped, [&](std::string_view piece) { patch.append(piece); },
        [&](std::uint64_t passed) {
            EXPECT_GE(passed, lastPassed);
            std::fill(dropped.begin() + static_cast<std::ptrdiff_t>(lastPassed),
                      dropped.begin() + static_cast<std::ptrdiff_t>(passed), std::uint8_t{0x5a});
            lastPassed = passed;
        });
    EXPECT_GT(lastPassed, made.size() / 2);
    EXPECT_EQ(Apply(old, patch), made);
}

TEST(PatchDiffer, EmptyNewFileIsTheHeaderAlone) {
    EXPECT_EQ(Diff(Words(1000, 19), {}).size(), PatchHeaderSize);
}

// bsdiff searches again one byte further on while a long match does not beat the current
// alignment; on these pairs that costs it about fifty times n log n steps at this size, and
// twice that at twice the size. Counted, not timed.
TEST(PatchDiffer, WorkStaysWithinNLogNOnBsdiffsSlowInputs) {
    struct TBait {
        const char* name;
        TBytes old;
        TBytes made;
    };
    const std::size_t size = 1 << 20;
    const TBait baits[] = {
        {"equal blocks", EqualBlocks(size / 1024, 7000, 2), EqualBlocks(size / 1024, 3000, 1)},
        {"one byte", TBytes(size, 0), Mutate(TBytes(size, 0), 4096, 1)},
        {"runs against dots", Mutate(TBytes(size, 0), 64, 1), TBytes(size, 0)},
        {"a run against a period", TBytes(size, 7), Mutate(TBytes(size, 7), 9, 15)},
    };
    for (const TBait& bait : baits) {
        TDiffWork work;
        const std::string patch = Diff(bait.old, bait.made, &work);
        EXPECT_EQ(Apply(bait.old, patch), bait.made) << bait.name;
        const double bound = 4.0 * static_cast<double>(bait.made.size()) *
                             std::log2(static_cast<double>(bait.old.size()));
        EXPECT_LE(static_cast<double>(work.steps), bound) << bait.name;
    }
}

} // namespace
