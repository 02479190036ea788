// The flow router's per-packet work in the pool with a few hundred and with
// 10,000 live flows: the due-check for the sweep, the lookup, and the binding
// after the send.

#include "bench/routing_packet/allocation_counter.hpp"
#include "flowgate/routing/flow_router.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using flowgate::FlowRouter;
using flowgate::PacketFlowKey;
using flowgate::PacketMetadata;

std::vector<std::string> pathKeys() {
  std::vector<std::string> keys;
  for (int exit = 1; exit <= 8; ++exit)
    keys.push_back("192.0.2.1:443>198.51.100." + std::to_string(exit) + ":443");
  return keys;
}

struct Fixture {
  std::vector<std::string> paths = pathKeys();
  std::vector<PacketMetadata> packets;  // one per live flow, in random order
  FlowRouter router;

  // Flows bound at `boundAt`; the last sweep at `sweptAt`.
  Fixture(std::size_t liveFlows, double boundAt, double sweptAt) {
    std::mt19937 random(7);
    for (std::size_t i = 0; i < liveFlows; ++i) {
      PacketMetadata metadata;
      metadata.protocolNumber = i % 4 == 0 ? 17 : 6;
      metadata.destination = 0xC6130000 | static_cast<std::uint32_t>(random() & 0xffff);
      metadata.flowKey = {.source = 0xC6120002,
                          .destination = metadata.destination,
                          .sourcePort = static_cast<std::uint16_t>(32768 + i % 28000),
                          .destinationPort = static_cast<std::uint16_t>(i % 4 == 0 ? 53 : 443),
                          .proto = metadata.protocolNumber};
      packets.push_back(metadata);
      router.bind(metadata.flowKey, paths[i % paths.size()], boundAt);
    }
    std::shuffle(packets.begin(), packets.end(), random);
    router.cleanup(sweptAt);
  }
};

void finish(benchmark::State& state, bench::AllocationGuard& allocations, std::size_t perIter,
            const char* item = "per_packet") {
  const auto items = static_cast<double>(state.iterations() * perIter);
  allocations.finish(items);
  state.SetItemsProcessed(static_cast<std::int64_t>(items));
  // Seconds per item, printed with an SI prefix ("20n" is 20 ns).
  state.counters[item] =
      benchmark::Counter(items, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_LookupHit(benchmark::State& state) {
  Fixture fixture(static_cast<std::size_t>(state.range(0)), 1000, 1000);
  bench::AllocationGuard allocations(state);
  std::size_t found = 0;
  for (auto _ : state) {
    for (const auto& packet : fixture.packets)
      found += fixture.router.lookup(packet.flowKey, 1000.5)->size();
    benchmark::DoNotOptimize(found);
  }
  finish(state, allocations, fixture.packets.size());
}
BENCHMARK(BM_LookupHit)->Arg(500)->Arg(10'000);

void BM_LookupMiss(benchmark::State& state) {
  Fixture fixture(static_cast<std::size_t>(state.range(0)), 1000, 1000);
  auto unknown = fixture.packets;
  for (auto& packet : unknown) packet.flowKey.source = 0xC6120003;
  bench::AllocationGuard allocations(state);
  std::size_t found = 0;
  for (auto _ : state) {
    for (const auto& packet : unknown)
      found += fixture.router.lookup(packet.flowKey, 1000.5) ? 1 : 0;
    benchmark::DoNotOptimize(found);
  }
  finish(state, allocations, unknown.size());
}
BENCHMARK(BM_LookupMiss)->Arg(500)->Arg(10'000);

// What the pool does for a routed packet: sweep check, lookup (refreshing once a
// second), and the binding after a successful send.
void BM_RoutePacket(benchmark::State& state) {
  Fixture fixture(static_cast<std::size_t>(state.range(0)), 1000, 1000);
  bench::AllocationGuard allocations(state);
  double now = 1000;
  for (auto _ : state) {
    for (const auto& packet : fixture.packets) {
      now += 1e-5;
      fixture.router.cleanup(now);
      const auto preferred = fixture.router.lookup(packet.flowKey, now);
      const std::string& path = preferred ? fixture.paths[preferred->size() % 8] : fixture.paths[0];
      fixture.router.recordSent(packet, path, now);
    }
  }
  finish(state, allocations, fixture.packets.size());
}
BENCHMARK(BM_RoutePacket)->Arg(500)->Arg(10'000);

// The once-a-minute sweep over every live flow; the flows are bound in the far
// future so none of them expires and every sweep sees them all.
void BM_Sweep(benchmark::State& state) {
  Fixture fixture(static_cast<std::size_t>(state.range(0)), 1e12, 0);
  bench::AllocationGuard allocations(state);
  double now = 0;
  for (auto _ : state) {
    now += FlowRouter::cleanupInterval;
    if (!fixture.router.cleanup(now)) state.SkipWithError("no sweep");
  }
  benchmark::DoNotOptimize(fixture.router.bindings().size());
  finish(state, allocations, fixture.router.bindings().size(), "per_flow");
}
BENCHMARK(BM_Sweep)->Arg(10'000);

}  // namespace

BENCHMARK_MAIN();
