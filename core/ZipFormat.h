#pragma once

#include <cstddef>
#include <cstdint>

// The zip format's fixed numbers, which the reader, the release tool's writer and the tests'
// writer of hand-made archives all take from here.

// Each record begins with its signature, "PK" and two bytes.
constexpr std::uint32_t LocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t CentralEntrySignature = 0x02014b50;
constexpr std::uint32_t DataDescriptorSignature = 0x08074b50;
constexpr std::uint32_t Zip64EndSignature = 0x06064b50;
constexpr std::uint32_t Zip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t EndSignature = 0x06054b50;

// The fixed part of each record, signature included; names, extra fields and comments follow.
constexpr std::size_t LocalHeaderSize = 30;
constexpr std::size_t CentralEntrySize = 46;
constexpr std::size_t Zip64EndRecordSize = 56;
constexpr std::size_t Zip64LocatorSize = 20;
constexpr std::size_t EndRecordSize = 22;
// The end record's two-byte comment length sits at this offset within it.
constexpr std::size_t EndRecordCommentLengthAt = 20;
constexpr std::size_t LongestComment = 0xFFFF;
// The signature, CRC-32 and both sizes in their Zip64 width.
constexpr std::size_t LongestDataDescriptor = 24;

constexpr std::uint16_t EncryptedFlag = 1u << 0;
constexpr std::uint16_t DataDescriptorFlag = 1u << 3;
constexpr std::uint16_t Utf8NameFlag = 1u << 11;

constexpr std::uint16_t StoredMethod = 0;
constexpr std::uint16_t DeflatedMethod = 8;

constexpr std::uint16_t Zip64ExtraId = 0x0001;
constexpr std::uint16_t UnicodePathExtraId = 0x7075;

// A 16- or 32-bit field holding its largest value says that the Zip64 record holds the value.
constexpr std::uint16_t Saturated16 = 0xFFFF;
constexpr std::uint32_t Saturated32 = 0xFFFFFFFF;
