#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Builds small archives in memory, including the faults that real writers never produce.
struct TTestEntry {
    std::string name{}; // as stored
    std::string data{};
    std::uint16_t method = 0; // 8 deflates the data here; any other value stores it as it is
    std::uint16_t flags = 0;  // bit 3 puts sizes and CRC in a data descriptor
    bool zip64 = false;       // sizes and offset only in the Zip64 extra field
    std::optional<std::uint32_t> crc{};   // declared instead of the real CRC-32
    std::optional<std::uint64_t> size{};  // declared instead of the real size
    std::optional<std::string> payload{}; // written instead of the (compressed) data
    std::string extra{};                  // further central extra fields
    std::uint8_t host = 0; // the writer's system: 0 DOS and Windows, 3 Unix, 19 macOS
};

struct TTestArchive {
    std::vector<TTestEntry> entries{};
    bool zip64End = false;
    std::string comment{};
};

std::string Deflate(const std::string& data);
std::string BuildZip(const TTestArchive& archive);
std::vector<unsigned char> BuildZipBytes(const TTestArchive& archive);
