// Applies arbitrary bytes as a patch to a fixed old file, as the updater applies an archive's
// patch entry to the installed file. The first byte chooses the size of the pieces the rest is
// fed in. Refusals are expected; crashes, sanitizer reports and broken invariants are findings:
// every read of the old file lies inside it and inside the window, no piece to the sink is larger
// than the applier's piece, nothing is written past the header's new size, a patch that applies
// has made exactly that many bytes, and the pieces make no difference to the outcome.
#include "core/BinaryPatch.h"
#include "core/ZipFault.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

namespace {

// Larger than the least read, so that reads of the old file start and end at odd places.
constexpr std::size_t OldSize = 200 * 1024 + 3;
constexpr std::array<std::size_t, 8> PieceSizes = {0, 1, 2, 3, 23, 25, 4093, 65536};

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const std::vector<std::uint8_t>& OldFile() {
    static const std::vector<std::uint8_t> old = [] {
        std::vector<std::uint8_t> bytes(OldSize);
        std::uint32_t state = 1;
        for (std::uint8_t& byte : bytes) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<std::uint8_t>(state >> 16);
        }
        return bytes;
    }();
    return old;
}

struct TOutcome {
    std::vector<std::uint8_t> made;
    bool applied = false;

    // A refusal may come after more or fewer bytes reached the sink, as the pieces fall.
    bool operator==(const TOutcome& other) const {
        return applied == other.applied && (!applied || made == other.made);
    }
};

// The patch fed in pieces of the given size, 0 for all at once.
TOutcome Apply(std::span<const std::uint8_t> patch, std::size_t piece) {
    const std::vector<std::uint8_t>& old = OldFile();
    TOutcome outcome;
    std::optional<CPatchApplier> applier;
    applier.emplace(
        old.size(),
        [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            Require(offset <= old.size() && into.size() <= old.size() - offset);
            Require(!into.empty() && into.size() <= CPatchApplier::OldWindowSize);
            std::copy_n(old.begin() + static_cast<std::ptrdiff_t>(offset), into.size(),
                        into.begin());
        },
        [&](std::span<const std::uint8_t> bytes) {
            Require(!bytes.empty() && bytes.size() <= CPatchApplier::NewPieceSize);
            outcome.made.insert(outcome.made.end(), bytes.begin(), bytes.end());
            Require(applier->NewSize() && outcome.made.size() <= *applier->NewSize());
        });
    try {
        const std::size_t step = piece == 0 ? std::max<std::size_t>(patch.size(), 1) : piece;
        for (std::size_t at = 0; at < patch.size(); at += step) {
            applier->Feed(patch.subspan(at, std::min(step, patch.size() - at)));
            Require(applier->Written() == outcome.made.size());
        }
        applier->Finish();
        Require(applier->NewSize() && outcome.made.size() == *applier->NewSize());
        outcome.applied = true;
    } catch (const CZipException& fault) {
        Require(fault.GetFault() == ZipFault::Damaged && !fault.GetReason().empty());
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> patch(data + 1, size - 1);
    const TOutcome whole = Apply(patch, 0);
    // A made byte needs a byte of the patch, whatever the header claims.
    Require(whole.made.size() <= patch.size());
    Require(Apply(patch, PieceSizes[data[0] % PieceSizes.size()]) == whole);
    return 0;
}
