#include "core/ZipEntryReader.h"

#include "core/ZipFault.h"
#include "core/ZipFormat.h"

#include <algorithm>
#include <limits>
#include <new>

namespace {

// Large blocks keep the number of file reads small; the caller's buffer is usually larger.
constexpr std::size_t InputBlockSize = 1024 * 1024;
// zlib counts in 32 bits; larger requests are served in pieces of this size.
constexpr std::size_t LargestStep = std::numeric_limits<uInt>::max();

[[noreturn]] void ThrowReadFailed() {
    throw CZipException(ZipFault::ReadFailed, "entry data cannot be read");
}

} // namespace

CZipEntryReader::CZipEntryReader(std::shared_ptr<const CZipArchive> archive, std::size_t item)
    : m_archive(std::move(archive)), m_index(item), m_item(&m_archive->GetItem(item)) {
    NamingEntry([this] { return m_archive->GetPath(m_index); }, [this] { Open(); });
}

void CZipEntryReader::Open() {
    if ((m_item->flags & EncryptedFlag) != 0) {
        throw CZipException(ZipFault::Unsupported, "entry is encrypted");
    }
    if (m_item->method != StoredMethod && m_item->method != DeflatedMethod) {
        throw CZipException(ZipFault::Unsupported, "unknown compression method");
    }
    if (m_item->method == StoredMethod && m_item->compressedSize != m_item->size) {
        ThrowDamaged("stored entry with two sizes");
    }
    m_nextInput = m_item->dataOffset;
    m_inputLeft = m_item->compressedSize;
    if (m_item->method == DeflatedMethod) {
        m_input.resize(static_cast<std::size_t>(
            std::min<std::uint64_t>(m_item->compressedSize, InputBlockSize)));
        const int result = inflateInit2(&m_stream, -MAX_WBITS);
        if (result == Z_MEM_ERROR) {
            throw std::bad_alloc();
        }
        if (result != Z_OK) {
            ThrowDamaged("inflate cannot start");
        }
        m_inflating = true;
    }
}

CZipEntryReader::~CZipEntryReader() {
    if (m_inflating) {
        inflateEnd(&m_stream);
    }
}

std::size_t CZipEntryReader::Read(void* buffer, std::size_t size) {
    return NamingEntry([this] { return m_archive->GetPath(m_index); },
                       [&] { return ReadUnnamed(buffer, size); });
}

std::size_t CZipEntryReader::ReadUnnamed(void* buffer, std::size_t size) {
    if (m_finished) {
        return 0;
    }
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, m_item->size - m_delivered));
    auto* out = static_cast<unsigned char*>(buffer);
    const std::size_t done = m_inflating ? Inflate(out, wanted) : ReadStored(out, wanted);
    m_delivered += done;
    if (m_delivered == m_item->size) {
        Finish();
    }
    return done;
}

std::size_t CZipEntryReader::ReadStored(unsigned char* buffer, std::size_t size) {
    if (size != 0 && !m_archive->GetSource().ReadAt(m_nextInput, buffer, size)) {
        ThrowReadFailed();
    }
    m_nextInput += size;
    m_inputLeft -= size;
    m_crc = static_cast<std::uint32_t>(crc32_z(m_crc, buffer, size));
    return size;
}

// Inflates until the buffer holds size bytes; the stream must not end before that, since
// size never exceeds what the directory declares.
std::size_t CZipEntryReader::Inflate(unsigned char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        if (m_streamEnded) {
            ThrowDamaged("entry data shorter than declared");
        }
        const uInt produced =
            InflateInto(buffer + done, static_cast<uInt>(std::min(size - done, LargestStep)));
        m_crc = static_cast<std::uint32_t>(crc32(m_crc, buffer + done, produced));
        done += produced;
    }
    return done;
}

uInt CZipEntryReader::InflateInto(unsigned char* out, uInt room) {
    if (m_stream.avail_in == 0) {
        RefillInput();
    }
    m_stream.next_out = out;
    m_stream.avail_out = room;
    const int result = inflate(&m_stream, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
        m_streamEnded = true;
    } else if (result == Z_MEM_ERROR) {
        throw std::bad_alloc();
    } else if (result != Z_OK) {
        // Z_BUF_ERROR here means no input is left although the stream goes on.
        ThrowDamaged("deflate data damaged or cut short");
    }
    return room - m_stream.avail_out;
}

void CZipEntryReader::RefillInput() {
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(m_inputLeft, m_input.size()));
    if (size != 0 && !m_archive->GetSource().ReadAt(m_nextInput, m_input.data(), size)) {
        ThrowReadFailed();
    }
    m_nextInput += size;
    m_inputLeft -= size;
    m_stream.next_in = m_input.data();
    m_stream.avail_in = static_cast<uInt>(size);
}

// Once the declared size is delivered, the deflate stream must end without producing more.
void CZipEntryReader::ConfirmStreamEnd() {
    while (!m_streamEnded) {
        unsigned char surplus = 0;
        if (InflateInto(&surplus, 1) != 0) {
            ThrowDamaged("entry data longer than declared");
        }
    }
}

void CZipEntryReader::Finish() {
    if (m_inflating) {
        ConfirmStreamEnd();
    }
    if (m_crc != m_item->crc) {
        ThrowDamaged("CRC-32 mismatch");
    }
    m_finished = true;
}
