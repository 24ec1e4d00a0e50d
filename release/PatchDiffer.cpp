#include "release/PatchDiffer.h"

#include "core/BinaryPatch.h"
#include "release/ToolError.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace {

// bsdiff's rule: a match is taken when it beats the current alignment by more than this many
// bytes.
constexpr std::int64_t MatchMargin = 8;
// bsdiff searches again one byte further on whenever a match does not beat the current
// alignment; where the files hold long runs of one byte or many equal blocks, every one of those
// searches finds a long match that the alignment nearly equals, and the work grows with the
// square of the run. A match at least this long that is not taken passes half its length
// instead: the alignment covers that stretch all but MatchMargin bytes, so little is lost, and
// each search's cost, at most its match's length times the search's depth, is paid for by as
// many bytes passed.
constexpr std::int64_t LongRejectedMatch = 64;
// No record holds more than this many bytes, so that the patch is written in bounded pieces.
constexpr std::size_t RecordPiece = 1 << 20;
// How far the differ goes on between two calls that say which new bytes it has passed.
constexpr std::int64_t PassedStep = 16 << 20;

struct TMatch {
    std::int64_t position = 0;
    std::int64_t length = 0;
};

// The old file's suffixes in sorted order, searched for the longest prefix of some new bytes.
class CSuffixIndex {
public:
    CSuffixIndex(std::span<const std::uint8_t> old, TDiffWork& work)
        : m_old(old), m_suffixes(old.size()), m_work(work) {
        if (!old.empty() &&
            divsufsort(old.data(), m_suffixes.data(), static_cast<saidx_t>(old.size())) != 0) {
            throw CToolError("libdivsufsort could not sort the old file's suffixes");
        }
    }

    // A binary search that skips the prefix the query shares with both bounds: every suffix
    // between them shares at least that much.
    TMatch FindLongest(std::span<const std::uint8_t> wanted) const {
        if (m_suffixes.empty() || wanted.empty()) {
            return {};
        }
        std::size_t low = 0;
        std::size_t high = m_suffixes.size() - 1;
        std::int64_t lowLength = CommonLength(low, wanted, 0);
        std::int64_t highLength = CommonLength(high, wanted, 0);
        while (high - low > 1) {
            const std::size_t middle = low + (high - low) / 2;
            const std::int64_t length =
                CommonLength(middle, wanted, std::min(lowLength, highLength));
            const std::size_t start = static_cast<std::size_t>(m_suffixes[middle]);
            if (length == static_cast<std::int64_t>(wanted.size())) {
                return {static_cast<std::int64_t>(start), length};
            }
            ++m_work.steps;
            const std::size_t end = start + static_cast<std::size_t>(length);
            if (end == m_old.size() || m_old[end] < wanted[static_cast<std::size_t>(length)]) {
                low = middle;
                lowLength = length;
            } else {
                high = middle;
                highLength = length;
            }
        }
        return lowLength > highLength ? TMatch{m_suffixes[low], lowLength}
                                      : TMatch{m_suffixes[high], highLength};
    }

private:
    std::int64_t CommonLength(std::size_t rank, std::span<const std::uint8_t> wanted,
                              std::int64_t known) const {
        const std::size_t start = static_cast<std::size_t>(m_suffixes[rank]);
        const std::size_t most = std::min(m_old.size() - start, wanted.size());
        std::size_t length = static_cast<std::size_t>(known);
        while (length < most && m_old[start + length] == wanted[length]) {
            ++length;
        }
        m_work.steps += length - static_cast<std::size_t>(known) + 1;
        return static_cast<std::int64_t>(length);
    }

    std::span<const std::uint8_t> m_old;
    std::vector<saidx_t> m_suffixes;
    TDiffWork& m_work;
};

// Writes records given by where they start in both files, one record behind, and works out the
// seeks, which the applier takes relative to its old position after each record's add bytes.
// A record that writes nothing would only move that position; the record before it moves it.
class CPatchStream {
public:
    CPatchStream(std::span<const std::uint8_t> old, std::span<const std::uint8_t> made,
                 const TPatchSink& sink, TDiffWork& work)
        : m_old(old), m_new(made), m_sink(sink), m_work(work) {
        AppendPatchHeader(m_buffer, old.size(), made.size());
    }

    void Add(std::int64_t newStart, std::int64_t oldStart, std::int64_t add, std::int64_t copy) {
        if (add == 0 && copy == 0) {
            return;
        }
        if (m_pending) {
            Write(*m_pending, oldStart);
        } else if (add > 0 && oldStart != m_position) {
            // Only a record's seek moves the applier's old position: the first new byte goes
            // as it is, and its record seeks to the match.
            Write({newStart, 0, 1}, oldStart + 1);
            ++newStart;
            --add;
            if (add == 0 && copy == 0) {
                return;
            }
        }
        m_pending = TRange{newStart, add, copy};
    }

    // The first new byte that the stream still has to read.
    std::int64_t GetPendingStart() const { return m_pending ? m_pending->newStart : m_written; }

    void Finish() {
        if (m_pending) {
            Write(*m_pending, m_position + m_pending->add);
        }
        m_sink(m_buffer);
    }

private:
    // Add bytes are taken from the applier's old position on.
    struct TRange {
        std::int64_t newStart = 0;
        std::int64_t add = 0;
        std::int64_t copy = 0;
    };

    // In records of at most RecordPiece bytes, the last one seeking to the old position given.
    void Write(TRange range, std::int64_t target) {
        while (range.add + range.copy > 0) {
            const std::int64_t add = std::min<std::int64_t>(range.add, RecordPiece);
            const std::int64_t copy = std::min<std::int64_t>(range.copy, RecordPiece - add);
            const bool last = add == range.add && copy == range.copy;
            m_added.resize(static_cast<std::size_t>(add));
            const std::size_t oldStart = static_cast<std::size_t>(m_position);
            const std::size_t newStart = static_cast<std::size_t>(range.newStart);
            for (std::size_t at = 0; at < m_added.size(); ++at) {
                m_added[at] =
                    static_cast<std::uint8_t>(m_new[newStart + at] - m_old[oldStart + at]);
            }
            m_position += add;
            const std::int64_t seek = last ? target - m_position : 0;
            m_position += seek;
            AppendPatchRecord(
                m_buffer,
                TPatchRecord{static_cast<std::uint64_t>(add), static_cast<std::uint64_t>(copy),
                             seek},
                m_added, m_new.subspan(newStart + m_added.size(), static_cast<std::size_t>(copy)));
            ++m_work.records;
            if (m_buffer.size() >= RecordPiece) {
                m_sink(m_buffer);
                m_buffer.clear();
            }
            range.newStart += add + copy;
            m_written = range.newStart;
            range.add -= add;
            range.copy -= copy;
        }
    }

    std::span<const std::uint8_t> m_old;
    std::span<const std::uint8_t> m_new;
    const TPatchSink& m_sink;
    TDiffWork& m_work;
    std::optional<TRange> m_pending;
    std::int64_t m_position = 0; // the applier's, before the pending record
    std::int64_t m_written = 0;  // new bytes
    std::string m_buffer;
    std::vector<std::uint8_t> m_added;
};

// bsdiff's extensions of the stretch between two matches: how far the last match's alignment
// goes on forwards and the next one's goes back, each as far as its bytes agree more often than
// not, and, where the two overlap, where the stretch is best split.
struct TExtension {
    std::int64_t forward = 0;
    std::int64_t backward = 0;
};

TExtension Extend(std::span<const std::uint8_t> old, std::span<const std::uint8_t> made,
                  std::int64_t lastScan, std::int64_t lastPosition, std::int64_t scan,
                  std::int64_t position, TDiffWork& work) {
    const std::int64_t oldSize = static_cast<std::int64_t>(old.size());
    const auto same = [&](std::int64_t oldAt, std::int64_t newAt) {
        return old[static_cast<std::size_t>(oldAt)] == made[static_cast<std::size_t>(newAt)];
    };
    TExtension extension;
    std::int64_t score = 0;
    std::int64_t best = 0;
    for (std::int64_t at = 0; lastScan + at < scan && lastPosition + at < oldSize;) {
        score += same(lastPosition + at, lastScan + at) ? 1 : 0;
        ++at;
        if (score * 2 - at > best * 2 - extension.forward) {
            best = score;
            extension.forward = at;
        }
    }
    work.steps += static_cast<std::uint64_t>(extension.forward);
    if (scan < static_cast<std::int64_t>(made.size())) {
        score = 0;
        best = 0;
        for (std::int64_t at = 1; scan >= lastScan + at && position >= at; ++at) {
            score += same(position - at, scan - at) ? 1 : 0;
            if (score * 2 - at > best * 2 - extension.backward) {
                best = score;
                extension.backward = at;
            }
            ++work.steps;
        }
    }
    if (lastScan + extension.forward > scan - extension.backward) {
        const std::int64_t overlap = (lastScan + extension.forward) - (scan - extension.backward);
        score = 0;
        best = 0;
        std::int64_t split = 0;
        for (std::int64_t at = 0; at < overlap; ++at) {
            score += same(lastPosition + extension.forward - overlap + at,
                          lastScan + extension.forward - overlap + at)
                         ? 1
                         : 0;
            score -=
                same(position - extension.backward + at, scan - extension.backward + at) ? 1 : 0;
            if (score > best) {
                best = score;
                split = at + 1;
            }
        }
        work.steps += static_cast<std::uint64_t>(overlap);
        extension.forward += split - overlap;
        extension.backward -= split;
    }
    return extension;
}

} // namespace

TDiffWork DiffFiles(std::span<const std::uint8_t> oldFile, std::span<const std::uint8_t> newFile,
                    const TPatchSink& sink, const TNewBytesPassed& passed) {
    if (oldFile.size() > LargestDiffedFile || newFile.size() > LargestDiffedFile) {
        throw CToolError("a file larger than " + std::to_string(LargestDiffedFile) +
                         " bytes is not diffed");
    }
    TDiffWork work;
    const CSuffixIndex index(oldFile, work);
    CPatchStream stream(oldFile, newFile, sink, work);
    const std::int64_t oldSize = static_cast<std::int64_t>(oldFile.size());
    const std::int64_t newSize = static_cast<std::int64_t>(newFile.size());
    // Whether the new byte at the position equals the old one under the last match's alignment.
    std::int64_t lastOffset = 0;
    const auto aligned = [&](std::int64_t at) {
        return at + lastOffset < oldSize && oldFile[static_cast<std::size_t>(at + lastOffset)] ==
                                                newFile[static_cast<std::size_t>(at)];
    };
    std::int64_t scan = 0;
    TMatch match;
    std::int64_t lastScan = 0;
    std::int64_t lastPosition = 0;
    std::int64_t announced = 0;
    while (scan < newSize) {
        // How many bytes of the stretch searched so far the last alignment already matches.
        std::int64_t oldScore = 0;
        scan += match.length;
        for (std::int64_t scored = scan; scan < newSize;) {
            match = index.FindLongest(newFile.subspan(static_cast<std::size_t>(scan)));
            for (; scored < scan + match.length; ++scored) {
                oldScore += aligned(scored) ? 1 : 0;
            }
            if ((match.length == oldScore && match.length != 0) ||
                match.length > oldScore + MatchMargin) {
                break;
            }
            const std::int64_t skipped =
                match.length >= LongRejectedMatch ? match.length / 2 : std::int64_t{1};
            for (const std::int64_t end = scan + skipped; scan < end; ++scan) {
                oldScore -= aligned(scan) ? 1 : 0;
            }
            work.steps += static_cast<std::uint64_t>(skipped);
        }
        if (match.length == oldScore && scan != newSize) {
            continue;
        }
        const TExtension extension =
            Extend(oldFile, newFile, lastScan, lastPosition, scan, match.position, work);
        stream.Add(lastScan, lastPosition, extension.forward,
                   (scan - extension.backward) - (lastScan + extension.forward));
        lastScan = scan - extension.backward;
        lastPosition = match.position - extension.backward;
        lastOffset = match.position - scan;
        // The stream writes its pending record, from the new bytes at lastScan on, only later.
        if (passed && lastScan >= announced + PassedStep) {
            announced = lastScan;
            passed(static_cast<std::uint64_t>(stream.GetPendingStart()));
        }
    }
    stream.Finish();
    return work;
}
