#pragma once

// The text list a GeoIP table is built from. One entry per line; "#" starts a
// comment; blank lines are ignored:
//
//   version 3                       table version (optional; the builder's
//                                   --version overrides it)
//   direct 192.0.2.0/25             a direct network, kept in list order
//   route 203.0.113.0/25 DE         a region route by CIDR ...
//   route 198.18.0.0-198.18.0.255 JP   ... or by first and last address
//
// Region codes are exactly two ASCII characters, kept as written. Routes may
// be listed in any order; they are sorted and must not overlap.

#include "flowgate/routing/geoip_file_writer.hpp"
#include "flowgate/routing/geoip_table.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace testbed {

struct GeoIPSource {
  std::optional<std::uint64_t> version;
  std::vector<flowgate::geoip::DirectRecord> direct;
  std::vector<flowgate::GeoIPTable::Route> routes;  // ascending, disjoint
};

// Throws std::invalid_argument naming the line of the first error.
GeoIPSource parseGeoIPSource(std::string_view text);

}  // namespace testbed
