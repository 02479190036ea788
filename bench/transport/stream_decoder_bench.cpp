// Throughput of cutting a node's inbound stream: mixed packets of 40 to 1500
// bytes, delivered in 128 KiB blocks so that packets straddle blocks.

#include "flowgate/transport/ip_stream_decoder.hpp"

#include <benchmark/benchmark.h>

#include <random>

namespace {

std::vector<runtime::SharedBytes> makeBlocks(std::size_t totalBytes, std::size_t blockSize) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> stream;
  stream.reserve(totalBytes + 1500);
  while (stream.size() < totalBytes) {
    std::size_t length = 40 + rng() % 1461;
    auto at = stream.size();
    stream.resize(at + length, 0x5a);
    stream[at] = 0x45;
    stream[at + 2] = static_cast<std::uint8_t>(length >> 8);
    stream[at + 3] = static_cast<std::uint8_t>(length);
  }
  std::vector<runtime::SharedBytes> blocks;
  for (std::size_t at = 0; at < stream.size(); at += blockSize) {
    auto n = std::min(blockSize, stream.size() - at);
    blocks.push_back(runtime::SharedBytes::copy(std::span(stream).subspan(at, n)));
  }
  return blocks;
}

void BM_DecoderAppend(benchmark::State& state) {
  const auto blocks = makeBlocks(64 << 20, 128 << 10);
  std::size_t bytes = 0;
  for (const auto& b : blocks) bytes += b.size();
  std::vector<runtime::SharedBytes> packets;
  packets.reserve(4096);
  std::size_t count = 0;
  for (auto _ : state) {
    flowgate::IPStreamDecoder decoder;
    for (const auto& block : blocks) {
      packets.clear();
      decoder.append(block, packets);
      count += packets.size();
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["packets/s"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecoderAppend)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
