#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A patch makes a file's new bytes from its old ones in one sequential pass, so that an update
// carries what changed rather than the whole file. This is the format's only definition: the
// release tool writes patches here, and the updater, the tool's check and the fuzz target apply
// them here.
//
//   header:  "ORVPATCH", u32 format, u64 old size, u64 new size
//   records, until the new size is written:
//            u64 add, u64 copy, i64 seek
//            add bytes: each added (mod 256) to the old file's byte at the old position, which
//                       advances by add
//            copy bytes: written as they are
//            then the old position moves by seek
//
// Integers are little-endian. The patch ends exactly where the new size is written; an empty
// new file is the header alone. The zip entry's deflate is the patch's only compression.

constexpr std::string_view PatchMagic = "ORVPATCH";
constexpr std::uint32_t PatchFormat = 1;
constexpr std::size_t PatchHeaderSize = 28;
constexpr std::size_t PatchControlSize = 24;

struct TPatchRecord {
    std::uint64_t add = 0;
    std::uint64_t copy = 0;
    std::int64_t seek = 0;
};

void AppendPatchHeader(std::string& patch, std::uint64_t oldSize, std::uint64_t newSize);
// The record's control as given, then the add bytes (the new bytes less the old ones) and the
// copy bytes. The patch is sound only where the spans are as long as the record says; tests
// write unsound ones on purpose.
void AppendPatchRecord(std::string& patch, const TPatchRecord& record,
                       std::span<const std::uint8_t> addBytes,
                       std::span<const std::uint8_t> copyBytes);

// Fills the whole span with the old file's bytes from the offset, which the applier keeps
// inside the old file; throws where it cannot.
using OldFileReader = std::function<void(std::uint64_t offset, std::span<std::uint8_t> into)>;
// Takes the new file's next bytes; the span lives only for the call.
using NewBytesSink = std::function<void(std::span<const std::uint8_t> bytes)>;

// Applies a patch fed in pieces of any size, as an archive's stream gives them. It holds neither
// file: the old one is read through a window of at most OldWindowSize bytes, the new one leaves
// through the sink at most NewPieceSize bytes at a time, and a piece fed is used as it comes.
// Every length and offset is checked before use, since the patch may be anyone's bytes: a patch
// that would read outside the old file, write past its new size or end early, or that leaves
// bytes over, throws CZipException (damaged) naming the fault, and nothing is read or written
// for the record that holds it.
class CPatchApplier {
public:
    static constexpr std::size_t OldWindowSize = 1024 * 1024;
    static constexpr std::size_t NewPieceSize = 256 * 1024;

    // newSize, where known: the size the header must give.
    CPatchApplier(std::uint64_t oldSize, OldFileReader readOld, NewBytesSink takeNew,
                  std::optional<std::uint64_t> newSize = std::nullopt);
    CPatchApplier(const CPatchApplier&) = delete;
    CPatchApplier& operator=(const CPatchApplier&) = delete;
    virtual ~CPatchApplier() = default;

    // The next bytes of the patch; every new byte they make has reached the sink on return.
    void Feed(std::span<const std::uint8_t> bytes);
    // The patch has ended: throws where it ended before the new file was whole.
    void Finish() const;

    // The new file's bytes handed to the sink so far.
    std::uint64_t Written() const { return m_written; }
    // The new size the header gives, once it has been read.
    std::optional<std::uint64_t> NewSize() const;

private:
    enum class TPart { Header, Control, Add, Copy, Done };

    // Gathers a header or control that may arrive split; true once it is whole.
    bool Gather(std::span<const std::uint8_t>& bytes, std::size_t size);
    void TakeHeader();
    void TakeControl();
    void TakeAdd(std::span<const std::uint8_t>& bytes);
    void TakeCopy(std::span<const std::uint8_t>& bytes);
    // After the record's bytes: the seek, then the next control or the end.
    void EndRecord();
    // The old bytes at the old position, as many as the window has there, at most wanted.
    std::span<const std::uint8_t> OldBytes(std::uint64_t wanted);
    void Flush();
    // The new file's bytes made so far, handed on or not.
    std::uint64_t Made() const { return m_written + m_out.size(); }

    std::uint64_t m_oldSize;
    OldFileReader m_readOld;
    NewBytesSink m_takeNew;
    std::optional<std::uint64_t> m_expectedNewSize;

    TPart m_part = TPart::Header;
    std::vector<std::uint8_t> m_gathered;
    std::uint64_t m_newSize = 0;
    TPatchRecord m_record;
    std::uint64_t m_left = 0; // bytes of the current add or copy still to come
    std::uint64_t m_oldPosition = 0;
    std::uint64_t m_written = 0;

    std::vector<std::uint8_t> m_window;
    std::uint64_t m_windowStart = 0;
    std::vector<std::uint8_t> m_out;
};
