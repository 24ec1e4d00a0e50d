#include "core/BinaryPatch.h"
#include "core/ZipFault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Pattern(std::size_t size, std::uint8_t seed) {
    TBytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

// The add bytes that turn old[from, from + size) into wanted.
TBytes Difference(const TBytes& old, std::size_t from, const TBytes& wanted) {
    TBytes diff(wanted.size());
    for (std::size_t at = 0; at < wanted.size(); ++at) {
        diff[at] = static_cast<std::uint8_t>(wanted[at] - old[from + at]);
    }
    return diff;
}

std::span<const std::uint8_t> AsBytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// One run of the applier over an old file held in memory, recording every read of it.
struct TRun {
    TBytes made;
    std::uint64_t largestRead = 0;
    std::uint64_t largestPiece = 0;
    bool readOutside = false;
    std::string fault; // empty where the patch applied
};

// The patch fed in pieces of the given size (0: whole); Finish after the last.
TRun Apply(const TBytes& old, const std::string& patch, std::size_t piece = 0,
           std::optional<std::uint64_t> newSize = std::nullopt) {
    TRun run;
    CPatchApplier applier(
        old.size(),
        [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            run.largestRead = std::max<std::uint64_t>(run.largestRead, into.size());
            if (offset > old.size() || into.size() > old.size() - offset) {
                run.readOutside = true;
                return;
            }
            std::copy_n(old.begin() + static_cast<std::ptrdiff_t>(offset), into.size(),
                        into.begin());
        },
        [&](std::span<const std::uint8_t> bytes) {
            run.largestPiece = std::max<std::uint64_t>(run.largestPiece, bytes.size());
            run.made.insert(run.made.end(), bytes.begin(), bytes.end());
        },
        newSize);
    try {
        const std::span<const std::uint8_t> bytes = AsBytes(patch);
        const std::size_t step = piece == 0 ? std::max<std::size_t>(bytes.size(), 1) : piece;
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            applier.Feed(bytes.subspan(at, std::min(step, bytes.size() - at)));
            EXPECT_EQ(applier.Written(), run.made.size());
        }
        applier.Finish();
    } catch (const CZipException& fault) {
        EXPECT_EQ(fault.GetFault(), ZipFault::Damaged);
        run.fault = fault.GetReason();
    }
    return run;
}

std::string Header(std::uint64_t oldSize, std::uint64_t newSize) {
    std::string patch;
    AppendPatchHeader(patch, oldSize, newSize);
    return patch;
}

void Append(std::string& patch, TPatchRecord record, const TBytes& add = {},
            const TBytes& copy = {}) {
    AppendPatchRecord(patch, record, add, copy);
}

std::string Record(std::string patch, TPatchRecord record, const TBytes& add = {},
                   const TBytes& copy = {}) {
    Append(patch, record, add, copy);
    return patch;
}

// Old: 4000 pattern bytes. New: one new byte, the old bytes 1000..1999 changed in places, 300 new
// bytes, the old bytes 0..499 unchanged, then 3000..3999 with the last changed: every record
// kind (a copy alone, an add alone, both), seeks back and on.
struct TSample {
    TBytes old = Pattern(4000, 1);
    TBytes made;
    std::string patch;

    TSample() {
        TBytes first(old.begin() + 1000, old.begin() + 2000);
        for (std::size_t at = 0; at < first.size(); at += 97) {
            first[at] ^= 0x5A;
        }
        const TBytes inserted = Pattern(300, 2);
        TBytes second(old.begin(), old.begin() + 500);
        TBytes third(old.begin() + 3000, old.end());
        third[999] = 0;
        for (const TBytes* part :
             std::initializer_list<const TBytes*>{&first, &inserted, &second, &third}) {
            made.insert(made.end(), part->begin(), part->end());
        }
        made.insert(made.begin(), 0x42);
        patch = Header(old.size(), made.size());
        Append(patch, {0, 1, 1000}, {}, {0x42});
        Append(patch, {1000, 300, -2000}, Difference(old, 1000, first), inserted);
        Append(patch, {500, 0, 2500}, Difference(old, 0, second));
        Append(patch, {1000, 0, -4000}, Difference(old, 3000, third));
    }
};

} // namespace

TEST(BinaryPatch, WritesTheHeaderAndRecordsLittleEndian) {
    std::string patch = Header(0x0102, 0x0A0B0C);
    Append(patch, {2, 1, -1}, {7, 8}, {9});
    const std::string expected = std::string("ORVPATCH\x01\0\0\0", 12) +
                                 std::string("\x02\x01\0\0\0\0\0\0", 8) +
                                 std::string("\x0C\x0B\x0A\0\0\0\0\0", 8) +
                                 std::string("\x02\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0", 16) +
                                 std::string(8, '\xFF') + "\x07\x08\x09";
    EXPECT_EQ(patch, expected);
    EXPECT_EQ(PatchHeaderSize + PatchControlSize + 3, patch.size());
}

TEST(BinaryPatch, MakesTheNewFileFromEveryRecordKindFedInPiecesOfEverySize) {
    const TSample sample;
    for (const std::size_t piece :
         {std::size_t(0), std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7),
          std::size_t(23), std::size_t(24), std::size_t(25), std::size_t(27), std::size_t(28),
          std::size_t(29), std::size_t(100), std::size_t(1000), std::size_t(4096)}) {
        const TRun run = Apply(sample.old, sample.patch, piece, sample.made.size());
        EXPECT_EQ(run.fault, "") << piece;
        EXPECT_FALSE(run.readOutside) << piece;
        EXPECT_TRUE(run.made == sample.made) << piece;
    }
}

TEST(BinaryPatch, AnEmptyNewFileIsTheHeaderAloneAndAnEmptyOldFileTakesCopiesOnly) {
    const TBytes old = Pattern(10, 3);
    const TRun empty = Apply(old, Header(old.size(), 0));
    EXPECT_EQ(empty.fault, "");
    EXPECT_TRUE(empty.made.empty());

    const TBytes made = Pattern(50, 4);
    std::string patch = Header(0, made.size());
    Append(patch, {0, 20, 0}, {}, TBytes(made.begin(), made.begin() + 20));
    Append(patch, {0, 30, 0}, {}, TBytes(made.begin() + 20, made.end()));
    const TRun fromNothing = Apply({}, patch, 5);
    EXPECT_EQ(fromNothing.fault, "");
    EXPECT_TRUE(fromNothing.made == made);
    EXPECT_EQ(fromNothing.largestRead, 0u);
}

TEST(BinaryPatch, RefusesEveryDamageNamingItAndNeverReadsOutsideTheOldFile) {
    const TBytes old = Pattern(100, 5);
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    const std::int64_t mostBack = std::numeric_limits<std::int64_t>::min();
    const std::string ten = Header(old.size(), 10);
    const TBytes tenBytes(10, 1);
    std::string wrongFormat = ten;
    wrongFormat[8] = 2;

    struct TCase {
        std::string name;
        std::string patch;
        std::string fault;
    };
    const std::vector<TCase> cases = {
        {"no magic", "ORVPATCX" + ten.substr(8), "does not start as a patch"},
        {"another format", wrongFormat, "has format 2, which this build does not know"},
        {"another old file", Header(99, 10), "is for an old file of 99 bytes, not 100"},
        {"nothing", "", "ends within its header"},
        {"half a header", ten.substr(0, 20), "ends within its header"},
        {"no record", ten, "ends after 0 of the new file's 10 bytes"},
        {"half a control", ten + std::string(10, '\0'), "ends after 0 of"},
        {"a record of nothing", Record(ten, {0, 0, 5}), "a record that writes nothing"},
        {"ending in an add", Record(ten, {10, 0, 0}, TBytes(4)), "ends after 4 of"},
        {"ending in a copy", Record(ten, {0, 10, 0}, {}, TBytes(9)), "ends after 9"},
        {"ending before the last record", Record(ten, {0, 4, 0}, {}, TBytes(4)), "ends after 4 of"},
        {"bytes over", Record(ten, {0, 10, 0}, {}, tenBytes) + "x",
         "has bytes after its last record"},
        {"a record over", Record(Record(ten, {0, 10, 0}, {}, tenBytes), {0, 1, 0}),
         "has bytes after its last record"},
        {"bytes after an empty file", Header(old.size(), 0) + '\0', "bytes after its last record"},
        {"an add past the new size", Record(ten, {11, 0, 0}), "writes past the new"},
        {"a copy past the new size", Record(ten, {5, 6, 0}), "writes past the new"},
        {"a record past the new size after an add",
         Record(Record(ten, {5, 0, 0}, TBytes(5)), {0, 10, 0}, {}, tenBytes),
         "writes past the new file's 10 bytes"},
        {"lengths that wrap", Record(ten, {2, most, 0}), "writes past the new file's 10 bytes"},
        {"lengths that wrap the other way", Record(ten, {most, 2, 0}), "writes past the new"},
        {"an add past the old end",
         Record(ten, {0, 1, 95}, {}, {1}) + Record(std::string(), {6, 0, 0}),
         "adds to bytes past the old file's end"},
        {"an add after a seek to the end", Record(Record(ten, {0, 1, 100}, {}, {1}), {1, 0, 0}),
         "adds to bytes past the old file's end"},
        {"a seek before the start", Record(ten, {1, 0, -2}),
         "seeks before the start of the old file"},
        {"the furthest seek back", Record(ten, {1, 0, mostBack}), "seeks before the start"},
        {"a seek past the end", Record(ten, {1, 0, 100}), "seeks past the end of the old file"},
        {"the furthest seek on", Record(ten, {0, 1, std::numeric_limits<std::int64_t>::max()}),
         "seeks past the end"},
    };
    for (const TCase& test : cases) {
        for (const std::size_t piece : {std::size_t(0), std::size_t(1), std::size_t(5)}) {
            const TRun run = Apply(old, test.patch, piece);
            EXPECT_NE(run.fault.find(test.fault), std::string::npos)
                << test.name << " in pieces of " << piece << " gave: " << run.fault;
            EXPECT_FALSE(run.readOutside) << test.name;
            EXPECT_LE(run.made.size(), 10u) << test.name;
        }
    }
    // Where the description gives the size, the header must agree before any record is read.
    const TRun described =
        Apply(old, Record(Header(old.size(), 11), {0, 11, 0}, {}, TBytes(11)), 0, 10);
    EXPECT_NE(described.fault.find("makes 11 bytes, not the 10 described"), std::string::npos)
        << described.fault;
    EXPECT_TRUE(described.made.empty());
}

TEST(BinaryPatch, ASeekToEitherEndIsSoundAndAddsReachTheOldFilesLastByte) {
    const TBytes old = Pattern(100, 6);
    TBytes made(old.end() - 10, old.end());
    const TBytes start(old.begin(), old.begin() + 5);
    made.insert(made.end(), start.begin(), start.end());
    std::string patch = Header(old.size(), made.size());
    Append(patch, {0, 1, 91}, {}, {made[0]});
    Append(patch, {9, 0, -100}, Difference(old, 91, TBytes(made.begin() + 1, made.begin() + 10)));
    Append(patch, {5, 0, 95}, Difference(old, 0, start));
    const TRun run = Apply(old, patch, 3);
    EXPECT_EQ(run.fault, "");
    EXPECT_TRUE(run.made == made);
}

TEST(BinaryPatch, KeepsItsMemoryBoundedWhateverTheFilesSizes) {
    // A 6 MiB old file made 6 MiB new by one add and one copy of 3 MiB each, fed in 1 MiB
    // pieces: no read of the old file beyond the window, no piece to the sink beyond its size.
    const std::size_t half = 3 * 1024 * 1024;
    const TBytes old = Pattern(2 * half, 7);
    TBytes made(old.begin(), old.begin() + half);
    std::transform(made.begin(), made.end(), made.begin(),
                   [](std::uint8_t byte) { return static_cast<std::uint8_t>(byte + 1); });
    const TBytes copied = Pattern(half, 8);
    std::string patch = Header(old.size(), 2 * half);
    Append(patch, {half, half, -static_cast<std::int64_t>(half)}, Difference(old, 0, made), copied);
    made.insert(made.end(), copied.begin(), copied.end());
    const TRun run = Apply(old, patch, 1024 * 1024);
    EXPECT_EQ(run.fault, "");
    EXPECT_TRUE(run.made == made);
    EXPECT_LE(run.largestRead, CPatchApplier::OldWindowSize);
    EXPECT_LE(run.largestPiece, CPatchApplier::NewPieceSize);
}
