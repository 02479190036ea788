// Path selection and grouping alone, without I/O: batches of 64 packets drawn
// from 1,000 flows, 100 routes, 20 configured paths, a node group for every
// region of the largest GeoIP table the file format allows.

#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/transport/batch_groups.hpp"

#include <benchmark/benchmark.h>

#include <random>

namespace {

using namespace flowgate;

constexpr std::size_t kBatch = 64;
constexpr std::size_t kFlows = 1000;
constexpr std::uint64_t kNodes = 40;

// As in the GeoIP benchmark: 1,000,000 routes tiling the address space, each
// of 100,000 direct blocks cutting one in two.
GeoIPTable largestTable() {
  std::mt19937 random(7);
  std::vector<GeoIPTable::Route> routes;
  routes.reserve(geoip::maxRouteCount);
  constexpr std::uint32_t stride = 4294;
  for (std::uint32_t k = 0; k < geoip::maxRouteCount; ++k) {
    auto code = RegionCode(static_cast<char>('A' + k % 26), static_cast<char>('A' + k / 26 % 26));
    routes.push_back({k * stride, k * stride + 4000, code});
  }
  std::vector<GeoIPTable::DirectRange> direct;
  std::uniform_int_distribution<std::uint32_t> offset(1024, 3000);
  constexpr unsigned prefixes[] = {24, 28, 32};
  constexpr auto routesPerBlock = geoip::maxRouteCount / geoip::maxDirectCount;
  for (std::uint32_t k = 0; k < geoip::maxDirectCount; ++k) {
    direct.push_back(GeoIPTable::DirectRange::fromPrefix(
        routes[k * routesPerBlock].start + offset(random), prefixes[k % 3]));
  }
  return GeoIPTable(1, {}, std::move(routes), direct);
}

ExtensionConfig config() {
  ExtensionConfig config;
  for (std::uint64_t id = 1; id <= kNodes; ++id) {
    config.nodes.push_back({id, "node-" + std::to_string(id),
                            "198.18.1." + std::to_string(id) + ":443", std::nullopt,
                            static_cast<std::int64_t>(id % 3)});
  }
  for (int i = 0; i < 100; ++i) {
    config.routes.push_back(
        {"198.19." + std::to_string(i) + ".0/24", {static_cast<std::uint64_t>(i % kNodes + 1)}});
  }
  std::vector<ExtensionPath> paths;
  for (std::uint64_t i = 0; i < 20; ++i) {
    std::vector<std::uint64_t> chain{i + 1};
    if (i % 2) chain.insert(chain.begin(), (i + 7) % 20 + 1);
    paths.push_back({chain, static_cast<std::int64_t>(i % 4)});
  }
  config.paths = paths;
  // Half the regions exit through configured paths' nodes (1-20), the other
  // half through nodes 21-40, ordered by weight for every packet.
  for (char a = 'A'; a <= 'Z'; ++a) {
    for (char b = 'A'; b <= 'Z'; ++b) {
      std::uint64_t base = ((a + b) % 2 ? 0 : 20) + static_cast<std::uint64_t>(a * 26 + b) % 18;
      config.nodeGroups[std::string{a, b}] = {{base + 1, 0, 3}, {base + 2, 0, 1}, {base + 3, 1, 2}};
    }
  }
  config.defaultNodes = {38, 39, 40};
  return config;
}

void selectionAndGrouping(benchmark::State& state) {
  const bool bound = state.range(0) != 0;
  static const GeoIPTable table = largestTable();
  PathSelection selection(config(), table, false);

  std::mt19937 random(3);
  std::uniform_int_distribution<std::uint32_t> anyAddress;
  std::vector<PacketMetadata> flows;
  for (std::size_t i = 0; i < kFlows; ++i) {
    // One flow in ten goes to a route, the rest anywhere.
    std::uint32_t destination = i % 10 == 0
                                    ? (0xc6130000u | static_cast<std::uint32_t>(i % 100) << 8 | 9)
                                    : anyAddress(random);
    PacketMetadata metadata;
    metadata.destination = destination;
    metadata.protocolNumber = PacketMetadata::udp;
    metadata.flowKey = {0xc6120002, destination, static_cast<std::uint16_t>(1024 + i), 443,
                        PacketMetadata::udp};
    flows.push_back(metadata);
  }
  const auto bytes = runtime::SharedBytes::copy(std::string(1400, 'p'));
  std::uniform_int_distribution<std::size_t> pick(0, kFlows - 1);
  std::vector<std::vector<OutboundPacket>> batches(512);
  for (auto& batch : batches) {
    for (std::size_t i = 0; i < kBatch; ++i) batch.push_back({bytes, flows[pick(random)]});
  }

  FlowRouter router;
  RegisteredPaths registered;
  double now = 1000;
  if (bound) {
    // Steady state: every flow bound to the registered path it was sent on.
    for (const auto& batch : batches) {
      for (const auto& group : groupBatch(batch, selection, router, registered, now)) {
        registered.emplace(group.candidates.front()->key, group.candidates.front());
        for (auto i : group.items) {
          router.recordSent(batch[i].metadata, group.candidates.front()->key, now);
        }
      }
    }
  }

  std::size_t k = 0, groups = 0;
  for (auto _ : state) {
    auto result = groupBatch(batches[k++ % batches.size()], selection, router, registered, now);
    groups += result.size();
    benchmark::DoNotOptimize(result);
    now += 0.002;  // binding refreshes every few hundred batches, a sweep every 30,000
  }
  state.counters["ns_per_packet"] = benchmark::Counter(
      kBatch * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["groups_per_batch"] =
      static_cast<double>(groups) / static_cast<double>(state.iterations());
}
BENCHMARK(selectionAndGrouping)->ArgName("bound")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
