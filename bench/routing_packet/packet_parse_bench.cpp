// Parsing cost per packet over a mix like a desktop's outgoing traffic: mostly
// TCP, then UDP (QUIC, DNS), some ICMP, fragments, and packets that yield nothing.

#include "bench/routing_packet/allocation_counter.hpp"
#include "flowgate/routing/packet_metadata.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ipv4(std::uint8_t protocol, std::size_t transportBytes, std::uint16_t fragmentField,
           std::mt19937& random, std::uint8_t headerWords = 5) {
  Bytes packet(std::size_t{headerWords} * 4 + transportBytes);
  for (auto& byte : packet) byte = static_cast<std::uint8_t>(random());
  packet[0] = static_cast<std::uint8_t>(0x40 | headerWords);
  packet[6] = static_cast<std::uint8_t>(fragmentField >> 8);
  packet[7] = static_cast<std::uint8_t>(fragmentField);
  packet[9] = protocol;
  packet[12] = 198;  // 198.18.0.0/15 sources and destinations
  packet[13] = 18;
  packet[16] = 198;
  packet[17] = 19;
  return packet;
}

std::vector<Bytes> trafficMix(std::size_t count) {
  std::mt19937 random(42);
  std::vector<Bytes> packets;
  packets.reserve(count);
  std::uniform_int_distribution<int> kind(0, 99);
  for (std::size_t i = 0; i < count; ++i) {
    const int k = kind(random);
    if (k < 35)
      packets.push_back(ipv4(6, 20 + 12, 0x4000, random));  // TCP ACK
    else if (k < 55)
      packets.push_back(ipv4(6, 1460, 0x4000, random));  // TCP data
    else if (k < 58)
      packets.push_back(ipv4(6, 40, 0x4000, random, 6));  // TCP, IP options
    else if (k < 75)
      packets.push_back(ipv4(17, 1200, 0, random));  // QUIC
    else if (k < 82)
      packets.push_back(ipv4(17, 8 + 40, 0, random));  // DNS query
    else if (k < 87)
      packets.push_back(ipv4(1, 64, 0, random));  // ICMP echo
    else if (k < 91)
      packets.push_back(ipv4(17, 1480, 0x2000, random));  // first fragment
    else if (k < 95)
      packets.push_back(ipv4(17, 400, 0x00b9, random));  // last fragment
    else if (k < 97)
      packets.push_back(ipv4(47, 100, 0, random));  // GRE
    else if (k < 98)
      packets.push_back(ipv4(6, 10, 0x4000, random));  // cut TCP header
    else {
      Bytes ipv6 = ipv4(17, 40, 0, random);
      ipv6[0] = 0x60;
      packets.push_back(std::move(ipv6));
    }
  }
  return packets;
}

void BM_ParseTrafficMix(benchmark::State& state) {
  const auto storage = trafficMix(1024);
  std::vector<std::span<const std::uint8_t>> packets(storage.begin(), storage.end());

  bench::AllocationGuard allocations(state);
  std::uint64_t checksum = 0;
  for (auto _ : state) {
    for (const auto packet : packets) {
      const auto metadata = flowgate::PacketMetadata::parse(packet);
      if (!metadata) continue;
      const auto& key = metadata->flowKey;
      checksum += key.source ^ key.destination ^ key.sourcePort ^ key.destinationPort ^ key.proto ^
                  metadata->tcpFlags;
    }
    benchmark::DoNotOptimize(checksum);
  }
  const auto parsed = static_cast<double>(state.iterations() * packets.size());
  allocations.finish(parsed);
  state.SetItemsProcessed(static_cast<std::int64_t>(parsed));
  // Seconds per packet, printed with an SI prefix ("2.3n" is 2.3 ns).
  state.counters["per_packet"] =
      benchmark::Counter(parsed, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseTrafficMix);

}  // namespace

BENCHMARK_MAIN();
