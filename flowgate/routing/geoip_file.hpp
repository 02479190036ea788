#pragma once

// The GeoIP table file ("geoip.bin"): a 24-byte header, D direct records of 5
// bytes and R route records of 10 bytes, nothing after them. All integers are
// unsigned big-endian.
//
//   0  4  magic "VKGI"          16  4  D (at most 100000)
//   4  2  format version, 1     20  4  R (at most 1000000)
//   6  2  reserved              24     D x (address 4, prefix length 1)
//   8  8  table version                R x (start 4, end 4, region 2)

#include "flowgate/routing/geoip_table.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace flowgate::geoip {

inline constexpr std::array<std::uint8_t, 4> magic{'V', 'K', 'G', 'I'};
inline constexpr std::size_t headerSize = 24;
inline constexpr std::size_t directRecordSize = 5;
inline constexpr std::size_t routeRecordSize = 10;
inline constexpr std::uint16_t formatVersion = 1;
inline constexpr std::uint32_t maxDirectCount = 100'000;
inline constexpr std::uint32_t maxRouteCount = 1'000'000;
inline constexpr std::size_t maxFileSize =
    headerSize + directRecordSize * maxDirectCount + routeRecordSize * maxRouteCount;

// The table in a file's bytes. Throws GeoIPError::invalidFormat when the bytes
// are not a well-formed table.
GeoIPTable decode(std::span<const std::uint8_t> bytes);

// Big-endian unsigned integers at a byte offset. Throw GeoIPError::invalidFormat
// when the integer does not lie wholly within `bytes`.
std::uint16_t readUInt16(std::span<const std::uint8_t> bytes, std::size_t at);
std::uint32_t readUInt32(std::span<const std::uint8_t> bytes, std::size_t at);
std::uint64_t readUInt64(std::span<const std::uint8_t> bytes, std::size_t at);

}  // namespace flowgate::geoip
