#include "core/BinaryPatch.h"

#include "core/LittleEndian.h"
#include "core/ZipFault.h"

#include <algorithm>
#include <utility>

namespace {

// A run of add bytes shorter than this still reads this much of the old file, since the next
// record's add usually starts a short seek further on.
constexpr std::uint64_t LeastOldRead = 64 * 1024;

void AppendUInt32(std::string& patch, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        patch += static_cast<char>(value >> shift & 0xFF);
    }
}

void AppendUInt64(std::string& patch, std::uint64_t value) {
    AppendUInt32(patch, static_cast<std::uint32_t>(value));
    AppendUInt32(patch, static_cast<std::uint32_t>(value >> 32));
}

void AppendBytes(std::string& patch, std::span<const std::uint8_t> bytes) {
    patch.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

[[noreturn]] void ThrowPatchFault(const std::string& what) {
    ThrowDamaged("the patch " + what);
}

} // namespace

void AppendPatchHeader(std::string& patch, std::uint64_t oldSize, std::uint64_t newSize) {
    patch.append(PatchMagic);
    AppendUInt32(patch, PatchFormat);
    AppendUInt64(patch, oldSize);
    AppendUInt64(patch, newSize);
}

void AppendPatchRecord(std::string& patch, const TPatchRecord& record,
                       std::span<const std::uint8_t> addBytes,
                       std::span<const std::uint8_t> copyBytes) {
    AppendUInt64(patch, record.add);
    AppendUInt64(patch, record.copy);
    AppendUInt64(patch, static_cast<std::uint64_t>(record.seek));
    AppendBytes(patch, addBytes);
    AppendBytes(patch, copyBytes);
}

CPatchApplier::CPatchApplier(std::uint64_t oldSize, OldFileReader readOld, NewBytesSink takeNew,
                             std::optional<std::uint64_t> newSize)
    : m_oldSize(oldSize), m_readOld(std::move(readOld)), m_takeNew(std::move(takeNew)),
      m_expectedNewSize(newSize) {
    m_gathered.reserve(PatchHeaderSize);
}

std::optional<std::uint64_t> CPatchApplier::NewSize() const {
    if (m_part == TPart::Header) {
        return std::nullopt;
    }
    return m_newSize;
}

void CPatchApplier::Feed(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        switch (m_part) {
        case TPart::Header:
            if (Gather(bytes, PatchHeaderSize)) {
                TakeHeader();
            }
            break;
        case TPart::Control:
            if (Gather(bytes, PatchControlSize)) {
                TakeControl();
            }
            break;
        case TPart::Add:
            TakeAdd(bytes);
            break;
        case TPart::Copy:
            TakeCopy(bytes);
            break;
        case TPart::Done:
            ThrowPatchFault("has bytes after its last record");
        }
    }
    Flush();
}

void CPatchApplier::Finish() const {
    if (m_part == TPart::Header) {
        ThrowPatchFault("ends within its header");
    }
    if (m_part != TPart::Done) {
        ThrowPatchFault("ends after " + std::to_string(m_written) + " of the new file's " +
                        std::to_string(m_newSize) + " bytes");
    }
}

bool CPatchApplier::Gather(std::span<const std::uint8_t>& bytes, std::size_t size) {
    const std::size_t taken = std::min(size - m_gathered.size(), bytes.size());
    m_gathered.insert(m_gathered.end(), bytes.begin(), bytes.begin() + taken);
    bytes = bytes.subspan(taken);
    return m_gathered.size() == size;
}

void CPatchApplier::TakeHeader() {
    const unsigned char* at = m_gathered.data();
    if (!std::equal(PatchMagic.begin(), PatchMagic.end(), at)) {
        ThrowPatchFault("does not start as a patch");
    }
    if (const std::uint32_t format = LoadUInt32(at + 8); format != PatchFormat) {
        ThrowPatchFault("has format " + std::to_string(format) +
                        ", which this build does not know");
    }
    if (const std::uint64_t oldSize = LoadUInt64(at + 12); oldSize != m_oldSize) {
        ThrowPatchFault("is for an old file of " + std::to_string(oldSize) + " bytes, not " +
                        std::to_string(m_oldSize));
    }
    m_newSize = LoadUInt64(at + 20);
    if (m_expectedNewSize && m_newSize != *m_expectedNewSize) {
        ThrowPatchFault("makes " + std::to_string(m_newSize) + " bytes, not the " +
                        std::to_string(*m_expectedNewSize) + " described");
    }
    m_gathered.clear();
    m_part = m_newSize == 0 ? TPart::Done : TPart::Control;
}

void CPatchApplier::TakeControl() {
    const unsigned char* at = m_gathered.data();
    TPatchRecord record{LoadUInt64(at), LoadUInt64(at + 8),
                        static_cast<std::int64_t>(LoadUInt64(at + 16))};
    m_gathered.clear();
    if (record.add == 0 && record.copy == 0) {
        ThrowPatchFault("has a record that writes nothing");
    }
    // Each bound is taken on what is left, so no sum can wrap.
    const std::uint64_t newLeft = m_newSize - Made();
    if (record.add > newLeft || record.copy > newLeft - record.add) {
        ThrowPatchFault("writes past the new file's " + std::to_string(m_newSize) + " bytes");
    }
    if (record.add > m_oldSize - m_oldPosition) {
        ThrowPatchFault("adds to bytes past the old file's end");
    }
    const std::uint64_t afterAdd = m_oldPosition + record.add;
    // The seek's magnitude, taken unsigned so that the most negative one has one too.
    const std::uint64_t distance = record.seek < 0 ? 0 - static_cast<std::uint64_t>(record.seek)
                                                   : static_cast<std::uint64_t>(record.seek);
    if (record.seek < 0 ? distance > afterAdd : distance > m_oldSize - afterAdd) {
        ThrowPatchFault(std::string("seeks ") +
                        (record.seek < 0 ? "before the start" : "past the end") +
                        " of the old file");
    }
    m_record = record;
    m_left = record.add;
    m_part = TPart::Add;
    if (m_left == 0) {
        m_left = record.copy;
        m_part = TPart::Copy;
    }
}

void CPatchApplier::TakeAdd(std::span<const std::uint8_t>& bytes) {
    const std::span<const std::uint8_t> old =
        OldBytes(std::min<std::uint64_t>(m_left, bytes.size()));
    const std::size_t size = std::min(old.size(), NewPieceSize - m_out.size());
    const std::size_t base = m_out.size();
    m_out.resize(base + size);
    for (std::size_t at = 0; at < size; ++at) {
        m_out[base + at] = static_cast<std::uint8_t>(bytes[at] + old[at]);
    }
    bytes = bytes.subspan(size);
    m_oldPosition += size;
    m_left -= size;
    if (m_out.size() == NewPieceSize) {
        Flush();
    }
    if (m_left == 0) {
        m_left = m_record.copy;
        m_part = TPart::Copy;
        if (m_left == 0) {
            EndRecord();
        }
    }
}

void CPatchApplier::TakeCopy(std::span<const std::uint8_t>& bytes) {
    Flush();
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>({m_left, bytes.size(), NewPieceSize}));
    m_takeNew(bytes.first(size));
    m_written += size;
    bytes = bytes.subspan(size);
    m_left -= size;
    if (m_left == 0) {
        EndRecord();
    }
}

void CPatchApplier::EndRecord() {
    // Checked with the control: the position stays within [0, old size].
    m_oldPosition += static_cast<std::uint64_t>(m_record.seek);
    m_part = Made() == m_newSize ? TPart::Done : TPart::Control;
}

std::span<const std::uint8_t> CPatchApplier::OldBytes(std::uint64_t wanted) {
    if (m_oldPosition < m_windowStart || m_oldPosition >= m_windowStart + m_window.size()) {
        m_window.resize(static_cast<std::size_t>(std::min<std::uint64_t>(
            {OldWindowSize, std::max(wanted, LeastOldRead), m_oldSize - m_oldPosition})));
        m_windowStart = m_oldPosition;
        m_readOld(m_windowStart, m_window);
    }
    const auto from = static_cast<std::size_t>(m_oldPosition - m_windowStart);
    return std::span<const std::uint8_t>(m_window).subspan(
        from, static_cast<std::size_t>(std::min<std::uint64_t>(wanted, m_window.size() - from)));
}

void CPatchApplier::Flush() {
    if (m_out.empty()) {
        return;
    }
    m_takeNew(m_out);
    m_written += m_out.size();
    m_out.clear();
}
