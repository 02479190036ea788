#include "runtime/ipv4.hpp"

#include "runtime/text.hpp"

namespace runtime::ipv4 {

namespace {

struct Cidr {
  std::string_view address;
  std::uint32_t value;
  unsigned prefixLength;
};

std::optional<unsigned> prefixLength(std::string_view text) {
  auto value = parseDecimal(text, 32);
  if (!value) return std::nullopt;
  return static_cast<unsigned>(*value);
}

std::optional<Cidr> parseCidr(std::string_view text) {
  auto pieces = splitOmittingEmpty(text, '/', 1);
  if (pieces.size() != 2) return std::nullopt;
  auto address = ipv4Value(pieces[0]);
  auto prefix = prefixLength(pieces[1]);
  if (!address || !prefix) return std::nullopt;
  return Cidr{pieces[0], *address, *prefix};
}

}  // namespace

std::optional<std::uint32_t> ipv4Value(std::string_view text) {
  auto pieces = splitOmittingEmpty(text, '.');
  if (pieces.size() != 4) return std::nullopt;
  std::uint32_t value = 0;
  for (auto piece : pieces) {
    auto octet = parseDecimal(piece, 255);
    if (!octet) return std::nullopt;
    value = (value << 8) | static_cast<std::uint32_t>(*octet);
  }
  return value;
}

std::string dottedQuad(std::uint32_t address) {
  return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xff) + '.' +
         std::to_string((address >> 8) & 0xff) + '.' + std::to_string(address & 0xff);
}

std::uint32_t prefixMask(unsigned prefixLength) {
  return prefixLength == 0 ? 0 : ~std::uint32_t{0} << (32 - prefixLength);
}

std::optional<std::string> mask(std::string_view cidr) {
  auto slash = cidr.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  auto prefix = prefixLength(cidr.substr(slash + 1));
  if (!prefix) return std::nullopt;
  return dottedQuad(prefixMask(*prefix));
}

std::optional<Range> cidrRange(std::string_view cidr) {
  auto parsed = parseCidr(cidr);
  if (!parsed) return std::nullopt;
  auto m = prefixMask(parsed->prefixLength);
  return Range{parsed->value & m, parsed->value | ~m};
}

std::optional<RouteText> route(std::string_view cidr) {
  auto parsed = parseCidr(cidr);
  if (!parsed) return std::nullopt;
  return RouteText{std::string(parsed->address), dottedQuad(prefixMask(parsed->prefixLength))};
}

}  // namespace runtime::ipv4
