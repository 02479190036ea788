#include "flowgate/routing/geoip_file_writer.hpp"

#include "flowgate/routing/geoip_error.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "runtime/ipv4.hpp"
#include "runtime/text.hpp"

namespace flowgate::geoip {

namespace {

template <class T>
void appendBigEndian(std::vector<std::uint8_t>& out, T value) {
  for (int shift = 8 * (sizeof(T) - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

}  // namespace

std::optional<DirectRecord> DirectRecord::fromCidr(std::string_view text) {
  auto pieces = runtime::splitOmittingEmpty(text, '/', 1);
  if (pieces.size() != 2) return std::nullopt;
  auto address = runtime::ipv4::ipv4Value(pieces[0]);
  auto prefixLength = runtime::parseDecimal(pieces[1], 32);
  if (!address || !prefixLength) return std::nullopt;
  return DirectRecord{*address, static_cast<std::uint8_t>(*prefixLength)};
}

std::vector<std::uint8_t> encode(std::uint64_t version, std::span<const DirectRecord> direct,
                                 std::span<const GeoIPTable::Route> routes) {
  std::vector<std::uint8_t> out;
  out.reserve(headerSize + directRecordSize * direct.size() + routeRecordSize * routes.size());
  for (auto byte : magic) out.push_back(byte);
  appendBigEndian(out, formatVersion);
  appendBigEndian(out, std::uint16_t{0});
  appendBigEndian(out, version);
  appendBigEndian(out, static_cast<std::uint32_t>(direct.size()));
  appendBigEndian(out, static_cast<std::uint32_t>(routes.size()));
  for (const auto& record : direct) {
    appendBigEndian(out, record.address);
    out.push_back(record.prefixLength);
  }
  for (const auto& route : routes) {
    appendBigEndian(out, route.start);
    appendBigEndian(out, route.end);
    for (char c : route.region.view()) out.push_back(static_cast<std::uint8_t>(c));
  }
  return out;
}

std::vector<std::uint8_t> encode(const GeoIPTable& table) {
  std::vector<DirectRecord> direct;
  direct.reserve(table.directCIDRs().size());
  for (const auto& cidr : table.directCIDRs()) {
    auto record = DirectRecord::fromCidr(cidr);
    if (!record) runtime::fail(GeoIPError::invalidFormat);
    direct.push_back(*record);
  }
  return encode(table.version(), direct, table.routes());
}

}  // namespace flowgate::geoip
