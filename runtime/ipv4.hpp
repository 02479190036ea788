#pragma once

// IPv4 text rules of the tunnel settings. Addresses are u32, most significant
// octet first. A dotted quad is split at "." with empty pieces dropped and must
// leave exactly four decimal pieces of 0 to 255 (leading zeros allowed). A CIDR
// is split once at the first "/" (empty pieces dropped) into exactly two pieces:
// a dotted quad and a decimal prefix length of 0 to 32.
//
// Node endpoints and route matching use a laxer rule (non-numeric pieces are
// skipped); that rule lives with them, not here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace runtime::ipv4 {

struct Range {
  std::uint32_t lower;
  std::uint32_t upper;
  friend bool operator==(const Range&, const Range&) = default;
};

// A route as text: the destination exactly as written, and the prefix's mask.
struct RouteText {
  std::string destinationAddress;
  std::string subnetMask;
  friend bool operator==(const RouteText&, const RouteText&) = default;
};

std::optional<std::uint32_t> ipv4Value(std::string_view text);
std::string dottedQuad(std::uint32_t address);
std::uint32_t prefixMask(unsigned prefixLength);  // 0 to 32

// The text after the last "/" as a prefix length; the address part is not read.
std::optional<std::string> mask(std::string_view cidr);
std::optional<Range> cidrRange(std::string_view cidr);
std::optional<RouteText> route(std::string_view cidr);

}  // namespace runtime::ipv4
