// Decoding the largest table file the format accepts, the decoded table's
// memory, and lookups in it.

#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <fstream>
#include <random>
#include <string>

namespace {

using flowgate::GeoIPTable;
using flowgate::geoip::DirectRecord;

// The worst case the format allows: 1,000,000 routes tiling the address space
// with small gaps between them, and 100,000 direct blocks (/24, /28 and /32),
// each strictly inside its own route so that every one of them cuts a route in
// two: about 1.2 million policy ranges.
const std::vector<std::uint8_t>& largestFile() {
  static const auto bytes = [] {
    std::mt19937 random(7);
    std::vector<GeoIPTable::Route> routes;
    routes.reserve(flowgate::geoip::maxRouteCount);
    constexpr std::uint32_t stride = 4294;
    for (std::uint32_t k = 0; k < flowgate::geoip::maxRouteCount; ++k) {
      auto code = flowgate::RegionCode(static_cast<char>('A' + k % 26),
                                       static_cast<char>('A' + k / 26 % 26));
      routes.push_back({k * stride, k * stride + 4000, code});
    }
    std::vector<DirectRecord> direct;
    direct.reserve(flowgate::geoip::maxDirectCount);
    std::uniform_int_distribution<std::uint32_t> offset(1024, 3000);
    constexpr std::uint8_t prefixes[] = {24, 28, 32};
    constexpr auto routesPerBlock =
        flowgate::geoip::maxRouteCount / flowgate::geoip::maxDirectCount;
    for (std::uint32_t k = 0; k < flowgate::geoip::maxDirectCount; ++k) {
      direct.push_back({routes[k * routesPerBlock].start + offset(random), prefixes[k % 3]});
    }
    auto file = flowgate::geoip::encode(1, direct, routes);
    if (file.size() != flowgate::geoip::maxFileSize) std::abort();
    return file;
  }();
  return bytes;
}

const GeoIPTable& largestTable() {
  static const auto table = flowgate::geoip::decode(largestFile());
  return table;
}

std::size_t heapInUse() {
  auto info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// What the table's lists occupy, strings' own buffers included.
std::size_t tableBytes(const GeoIPTable& table) {
  std::size_t bytes = table.routes().capacity() * sizeof(GeoIPTable::Route) +
                      table.policyRanges().capacity() * sizeof(GeoIPTable::PolicyRange) +
                      table.directCIDRs().capacity() * sizeof(std::string);
  for (const auto& cidr : table.directCIDRs()) {
    if (cidr.capacity() > 15) bytes += cidr.capacity() + 1;
  }
  return bytes;
}

constexpr double mebibyte = 1024.0 * 1024.0;

// Runs first, in a fresh process, so that memory freed by other benchmarks
// does not hide the table's own growth.
void decodedTableMemory(benchmark::State& state) {
  const auto& file = largestFile();
  std::size_t heap = 0, resident = 0, arrays = 0, ranges = 0;
  for (auto _ : state) {
    auto heapBefore = heapInUse();
    auto residentBefore = residentBytes();
    auto table = flowgate::geoip::decode(file);
    heap = heapInUse() - heapBefore;
    resident = residentBytes() - residentBefore;
    arrays = tableBytes(table);
    ranges = table.policyRanges().size();
    benchmark::DoNotOptimize(table);
  }
  state.counters["heap_MiB"] = static_cast<double>(heap) / mebibyte;
  state.counters["rss_delta_MiB"] = static_cast<double>(resident) / mebibyte;
  state.counters["arrays_MiB"] = static_cast<double>(arrays) / mebibyte;
  state.counters["policy_ranges"] = static_cast<double>(ranges);
}
BENCHMARK(decodedTableMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void decodeLargestFile(benchmark::State& state) {
  const auto& file = largestFile();
  for (auto _ : state) {
    auto table = flowgate::geoip::decode(file);
    benchmark::DoNotOptimize(table);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}
BENCHMARK(decodeLargestFile)->Unit(benchmark::kMillisecond);

std::vector<std::uint32_t> randomAddresses() {
  std::mt19937 random(11);
  std::uniform_int_distribution<std::uint32_t> address;
  std::vector<std::uint32_t> addresses(1 << 16);
  for (auto& a : addresses) a = address(random);
  return addresses;
}

void actionLookup(benchmark::State& state) {
  const auto& table = largestTable();
  auto addresses = randomAddresses();
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.action(addresses[k++ & 0xffff]));
  }
}
BENCHMARK(actionLookup);

void regionLookup(benchmark::State& state) {
  const auto& table = largestTable();
  auto addresses = randomAddresses();
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.region(addresses[k++ & 0xffff]));
  }
}
BENCHMARK(regionLookup);

}  // namespace

BENCHMARK_MAIN();
