#pragma once

// Tables for tests, built the way the program builds them: records written to a
// table file and decoded again.

#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "runtime/ipv4.hpp"

#include <ostream>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace flowgate {

inline void PrintTo(const GeoIPTable::PolicyRange& range, std::ostream* out) {
  *out << runtime::ipv4::dottedQuad(range.start) << "-" << runtime::ipv4::dottedQuad(range.end)
       << (range.action.isDirect() ? " direct" : " region ")
       << (range.action.isDirect() ? "" : range.action.regionCode().view());
}

}  // namespace flowgate

namespace geoip_test {

using flowgate::GeoIPTable;
using flowgate::RegionCode;
using PolicyRange = GeoIPTable::PolicyRange;
using Action = GeoIPTable::Action;

inline std::uint32_t ip(std::string_view text) {
  auto value = runtime::ipv4::ipv4Value(text);
  if (!value) throw std::invalid_argument(std::string(text));
  return *value;
}

inline GeoIPTable::Route route(std::string_view start, std::string_view end, RegionCode code) {
  return {ip(start), ip(end), code};
}

inline PolicyRange regionRange(std::string_view start, std::string_view end, RegionCode code) {
  return {ip(start), ip(end), Action::region(code)};
}

inline PolicyRange directRange(std::string_view start, std::string_view end) {
  return {ip(start), ip(end), Action::direct()};
}

inline std::vector<flowgate::geoip::DirectRecord> directRecords(
    const std::vector<std::string_view>& cidrs) {
  std::vector<flowgate::geoip::DirectRecord> records;
  for (auto cidr : cidrs) {
    auto record = flowgate::geoip::DirectRecord::fromCidr(cidr);
    if (!record) throw std::invalid_argument(std::string(cidr));
    records.push_back(*record);
  }
  return records;
}

inline GeoIPTable tableOf(const std::vector<std::string_view>& direct,
                          const std::vector<GeoIPTable::Route>& routes, std::uint64_t version = 1) {
  return flowgate::geoip::decode(flowgate::geoip::encode(version, directRecords(direct), routes));
}

}  // namespace geoip_test
