#include "flowgate/routing/geoip_table.hpp"

#include <utility>

#include "runtime/ipv4.hpp"

#include <algorithm>
#include <iterator>

namespace flowgate {

struct GeoIPTable::Storage {
  std::uint64_t version = 0;
  std::vector<std::string> directCIDRs;
  std::vector<Route> routes;
  std::vector<PolicyRange> policyRanges;
};

std::optional<RegionCode> RegionCode::fromText(std::string_view text) {
  if (text.size() != 2) return std::nullopt;
  return RegionCode(text[0], text[1]);
}

GeoIPTable::DirectRange GeoIPTable::DirectRange::fromPrefix(std::uint32_t address,
                                                            unsigned prefixLength) {
  auto mask = runtime::ipv4::prefixMask(prefixLength);
  return {address & mask, mask};
}

GeoIPTable::GeoIPTable() : GeoIPTable(empty()) {}

GeoIPTable::GeoIPTable(std::shared_ptr<const Storage> storage) : storage_(std::move(storage)) {}

GeoIPTable::GeoIPTable(GeoIPTable&& other) noexcept
    : storage_(std::exchange(other.storage_, empty().storage_)) {}

GeoIPTable& GeoIPTable::operator=(GeoIPTable&& other) noexcept {
  if (this != &other) storage_ = std::exchange(other.storage_, empty().storage_);
  return *this;
}

GeoIPTable::GeoIPTable(std::uint64_t version, std::vector<std::string> directCIDRs,
                       std::vector<Route> routes, std::span<const DirectRange> direct) {
  auto storage = std::make_shared<Storage>();
  storage->version = version;
  storage->policyRanges = makePolicyRanges(direct, routes);
  storage->directCIDRs = std::move(directCIDRs);
  storage->routes = std::move(routes);
  storage_ = std::move(storage);
}

const GeoIPTable& GeoIPTable::empty() {
  static const GeoIPTable table(0, {}, {}, {});
  return table;
}

std::uint64_t GeoIPTable::version() const { return storage_->version; }
const std::vector<std::string>& GeoIPTable::directCIDRs() const { return storage_->directCIDRs; }
const std::vector<GeoIPTable::Route>& GeoIPTable::routes() const { return storage_->routes; }
const std::vector<GeoIPTable::PolicyRange>& GeoIPTable::policyRanges() const {
  return storage_->policyRanges;
}

std::vector<GeoIPTable::PolicyRange> GeoIPTable::makePolicyRanges(
    std::span<const DirectRange> direct, std::span<const Route> routes) {
  auto byStart = [](const PolicyRange& a, const PolicyRange& b) { return a.start < b.start; };

  std::vector<PolicyRange> sorted;
  sorted.reserve(direct.size());
  for (const auto& range : direct) {
    sorted.push_back({range.network, range.network | ~range.mask, Action::direct()});
  }
  std::stable_sort(sorted.begin(), sorted.end(), byStart);

  // Overlapping, nested, duplicate and adjacent blocks become one range. The
  // sum is taken in 64 bits so that a range ending at 255.255.255.255 does not
  // wrap around and swallow the next.
  std::vector<PolicyRange> merged;
  merged.reserve(sorted.size());
  for (const auto& range : sorted) {
    if (!merged.empty() && std::uint64_t{merged.back().end} + 1 >= range.start) {
      merged.back().end = std::max(merged.back().end, range.end);
    } else {
      merged.push_back(range);
    }
  }
  sorted = {};

  // Each route is cut around the direct ranges inside it; a route yields at
  // most one piece more than the direct ranges it holds.
  std::vector<PolicyRange> pieces;
  pieces.reserve(routes.size() + merged.size());
  std::size_t i = 0;
  for (const auto& route : routes) {
    while (i < merged.size() && merged[i].end < route.start) ++i;
    auto action = Action::region(route.region);
    std::uint64_t p = route.start;
    for (std::size_t j = i; j < merged.size(); ++j) {
      if (route.end < merged[j].start) break;
      if (p < merged[j].start) {
        pieces.push_back({static_cast<std::uint32_t>(p), merged[j].start - 1, action});
      }
      p = std::max(p, std::uint64_t{merged[j].end} + 1);
      if (p > route.end) break;
    }
    if (p <= route.end) pieces.push_back({static_cast<std::uint32_t>(p), route.end, action});
  }

  // Both lists are sorted when the routes are ascending, so a stable merge
  // gives what a stable sort of the two lists together would.
  if (!std::is_sorted(pieces.begin(), pieces.end(), byStart)) {
    std::stable_sort(pieces.begin(), pieces.end(), byStart);
  }
  std::vector<PolicyRange> result;
  result.reserve(merged.size() + pieces.size());
  std::merge(merged.begin(), merged.end(), pieces.begin(), pieces.end(), std::back_inserter(result),
             byStart);
  return result;
}

const GeoIPTable::PolicyRange* GeoIPTable::covering(std::uint32_t address) const {
  const auto& ranges = storage_->policyRanges;
  if (ranges.empty()) return nullptr;
  // The last range starting at or below the address (the one before the upper
  // bound on start). Halving without a data-dependent branch keeps random
  // lookups free of mispredictions, and fetching both possible next probes
  // overlaps the cache misses of a large table.
  const PolicyRange* base = ranges.data();
  for (std::size_t n = ranges.size(); n > 1;) {
    std::size_t half = n / 2;
    __builtin_prefetch(base + half / 2);
    __builtin_prefetch(base + half + half / 2);
    base = base[half].start <= address ? base + half : base;
    n -= half;
  }
  if (address < base->start) return nullptr;  // below the first range
  return base->end < address ? nullptr : base;
}

std::optional<std::string> GeoIPTable::region(std::uint32_t address) const {
  const auto* range = covering(address);
  if (range == nullptr || range->action.isDirect()) return std::nullopt;
  return range->action.regionCode().text();
}

std::optional<GeoIPTable::Action> GeoIPTable::action(std::uint32_t address) const {
  const auto* range = covering(address);
  if (range == nullptr) return std::nullopt;
  return range->action;
}

}  // namespace flowgate
