#pragma once

// Writes GeoIP table files, for the test servers and for tests.

#include "flowgate/routing/geoip_table.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace flowgate::geoip {

struct DirectRecord {
  std::uint32_t address = 0;  // as stored; host bits may be set
  std::uint8_t prefixLength = 0;

  // From "a.b.c.d/n" (the tunnel settings' CIDR rule), host bits kept.
  static std::optional<DirectRecord> fromCidr(std::string_view text);

  friend bool operator==(const DirectRecord&, const DirectRecord&) = default;
};

// The file holding exactly the records given, in the order given. Nothing is
// checked, so tests can write malformed files; the records must keep the
// file's rules (prefix lengths up to 32, routes ascending and disjoint, ASCII
// region codes, counts within the limits) for the result to decode.
std::vector<std::uint8_t> encode(std::uint64_t version, std::span<const DirectRecord> direct,
                                 std::span<const GeoIPTable::Route> routes);

// The file of a table: its version, direct blocks and routes. Throws
// GeoIPError::invalidFormat if a direct block's text is not a CIDR.
std::vector<std::uint8_t> encode(const GeoIPTable& table);

}  // namespace flowgate::geoip
