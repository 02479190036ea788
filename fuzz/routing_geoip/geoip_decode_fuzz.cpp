// Table files from outside: decoding either fails with invalidFormat or gives a
// table whose policy ranges are sorted and disjoint, that writes back to the
// same bytes, and whose lookups agree with its blocks and routes.

#include "flowgate/routing/geoip_error.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

using flowgate::GeoIPTable;

void check(bool condition) {
  if (!condition) std::abort();
}

std::optional<GeoIPTable::Action> expectedAction(const GeoIPTable& table,
                                                 const std::vector<GeoIPTable::DirectRange>& direct,
                                                 std::uint32_t address) {
  for (const auto& range : direct) {
    if ((address & range.mask) == range.network) return GeoIPTable::Action::direct();
  }
  for (const auto& route : table.routes()) {
    if (route.start <= address && address <= route.end) {
      return GeoIPTable::Action::region(route.region);
    }
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  GeoIPTable table;
  try {
    table = flowgate::geoip::decode(bytes);
  } catch (const runtime::SystemError& e) {
    check(e.code() == flowgate::GeoIPError::invalidFormat);
    return 0;
  }

  const auto& ranges = table.policyRanges();
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    check(ranges[k].start <= ranges[k].end);
    if (k > 0) check(ranges[k - 1].end < ranges[k].start);
  }

  std::vector<std::uint8_t> original(bytes.begin(), bytes.end());
  original[6] = original[7] = 0;  // reserved, never read
  check(flowgate::geoip::encode(table) == original);

  // Every edge of every block and route, and one address on each side of it.
  if (table.directCIDRs().size() + table.routes().size() > 64) return 0;
  std::vector<GeoIPTable::DirectRange> direct;
  std::vector<std::uint32_t> edges{0, 0xffffffff};
  for (const auto& cidr : table.directCIDRs()) {
    auto record = flowgate::geoip::DirectRecord::fromCidr(cidr);
    check(record.has_value());
    direct.push_back(GeoIPTable::DirectRange::fromPrefix(record->address, record->prefixLength));
    edges.push_back(direct.back().network);
    edges.push_back(direct.back().network | ~direct.back().mask);
  }
  for (const auto& route : table.routes()) {
    edges.push_back(route.start);
    edges.push_back(route.end);
  }
  for (auto edge : edges) {
    for (auto address : {edge - 1, edge, edge + 1}) {
      auto action = table.action(address);
      check(action == expectedAction(table, direct, address));
      auto region = table.region(address);
      check(region.has_value() == (action && !action->isDirect()));
      if (region) check(*region == action->regionCode().view());
    }
  }
  return 0;
}
