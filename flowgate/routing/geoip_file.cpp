#include "flowgate/routing/geoip_file.hpp"

#include "flowgate/routing/geoip_error.hpp"

#include <string>

#include <boost/endian/conversion.hpp>

namespace flowgate::geoip {

namespace {

[[noreturn]] void invalidFormat() { runtime::fail(GeoIPError::invalidFormat); }

template <class T>
T readBigEndian(std::span<const std::uint8_t> bytes, std::size_t at) {
  if (at > bytes.size() || bytes.size() - at < sizeof(T)) invalidFormat();
  return boost::endian::endian_load<T, sizeof(T), boost::endian::order::big>(bytes.data() + at);
}

bool isAscii(std::uint8_t byte) { return byte < 0x80; }

void appendDecimal(std::string& text, unsigned value) {  // below 1000
  if (value >= 100) text += static_cast<char>('0' + value / 100);
  if (value >= 10) text += static_cast<char>('0' + value / 10 % 10);
  text += static_cast<char>('0' + value % 10);
}

// "a.b.c.d/n" with the address as stored, host bits kept.
std::string cidrText(std::uint32_t address, unsigned prefixLength) {
  std::string text;
  text.reserve(sizeof "255.255.255.255/32" - 1);
  for (int shift = 24; shift >= 0; shift -= 8) {
    appendDecimal(text, (address >> shift) & 0xff);
    text += shift == 0 ? '/' : '.';
  }
  appendDecimal(text, prefixLength);
  return text;
}

}  // namespace

std::uint16_t readUInt16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return readBigEndian<std::uint16_t>(bytes, at);
}

std::uint32_t readUInt32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return readBigEndian<std::uint32_t>(bytes, at);
}

std::uint64_t readUInt64(std::span<const std::uint8_t> bytes, std::size_t at) {
  return readBigEndian<std::uint64_t>(bytes, at);
}

GeoIPTable decode(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < headerSize) invalidFormat();
  for (std::size_t k = 0; k < magic.size(); ++k) {
    if (!isAscii(bytes[k]) || bytes[k] != magic[k]) invalidFormat();
  }
  if (readUInt16(bytes, 4) != formatVersion) invalidFormat();
  auto version = readUInt64(bytes, 8);
  auto directCount = readUInt32(bytes, 16);
  auto routeCount = readUInt32(bytes, 20);
  // The limits come before the length, so the sum below cannot overflow and
  // nothing is reserved for counts the file could never hold.
  if (directCount > maxDirectCount || routeCount > maxRouteCount) invalidFormat();
  std::size_t routesAt = headerSize + directRecordSize * directCount;
  if (bytes.size() != routesAt + routeRecordSize * routeCount) invalidFormat();

  std::vector<std::string> directCIDRs;
  std::vector<GeoIPTable::DirectRange> direct;
  std::vector<GeoIPTable::Route> routes;
  directCIDRs.reserve(directCount);
  direct.reserve(directCount);
  routes.reserve(routeCount);

  for (std::size_t at = headerSize; at < routesAt; at += directRecordSize) {
    auto address = readUInt32(bytes, at);
    unsigned prefixLength = bytes[at + 4];
    if (prefixLength > 32) invalidFormat();
    directCIDRs.push_back(cidrText(address, prefixLength));
    direct.push_back(GeoIPTable::DirectRange::fromPrefix(address, prefixLength));
  }

  for (std::size_t at = routesAt; at < bytes.size(); at += routeRecordSize) {
    auto start = readUInt32(bytes, at);
    auto end = readUInt32(bytes, at + 4);
    if (!routes.empty() && start <= routes.back().end) invalidFormat();
    if (end < start) invalidFormat();
    auto first = bytes[at + 8];
    auto second = bytes[at + 9];
    if (!isAscii(first) || !isAscii(second)) invalidFormat();
    routes.push_back({start, end, RegionCode(static_cast<char>(first), static_cast<char>(second))});
  }

  return GeoIPTable(version, std::move(directCIDRs), std::move(routes), direct);
}

}  // namespace flowgate::geoip
