#pragma once

#include "core/ZipArchive.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Streams the contents of one file of the archive. Opening refuses encrypted entries and unknown
// methods; reading delivers the data straight into the caller's
// buffer and checks CRC-32 and size with the call that delivers the last byte, so a damaged
// entry never reads to a successful end. Every refusal is a CZipException that names the entry.
class CZipEntryReader {
public:
    // The item must be a file of the archive.
    CZipEntryReader(std::shared_ptr<const CZipArchive> archive, std::size_t item);
    CZipEntryReader(const CZipEntryReader&) = delete;
    CZipEntryReader& operator=(const CZipEntryReader&) = delete;
    virtual ~CZipEntryReader();

    // Fills the buffer as far as the entry goes; 0 once everything has been delivered.
    std::size_t Read(void* buffer, std::size_t size);
    bool IsFinished() const { return m_finished; }
    std::uint64_t GetPosition() const { return m_delivered; }
    const TZipItem& GetItem() const { return *m_item; }

private:
    void Open();
    std::size_t ReadUnnamed(void* buffer, std::size_t size);
    std::size_t ReadStored(unsigned char* buffer, std::size_t size);
    std::size_t Inflate(unsigned char* buffer, std::size_t size);
    // One inflate call into the room; notes the end of the stream, throws on damaged data.
    uInt InflateInto(unsigned char* out, uInt room);
    void RefillInput();
    void ConfirmStreamEnd();
    void Finish();

    std::shared_ptr<const CZipArchive> m_archive;
    std::size_t m_index;
    const TZipItem* m_item;
    std::uint64_t m_nextInput = 0; // file offset of the next compressed byte to fetch
    std::uint64_t m_inputLeft = 0; // compressed bytes not yet fetched
    std::uint64_t m_delivered = 0;
    std::uint32_t m_crc = 0;
    bool m_finished = false;
    bool m_inflating = false; // the inflate stream is initialised and must be ended
    bool m_streamEnded = false;
    z_stream m_stream{};
    std::vector<unsigned char> m_input;
};
