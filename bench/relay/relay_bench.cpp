// One relay hop in echo mode on loopback: 1,400-byte UDP packets written in
// batches through TLS 1.3, echoed by the relay and read back. The rate counts
// the packets' bytes once (client to exit), so it is what the hop forwards each
// way.

#include "runtime/spawn.hpp"
#include "tests/support/relay/lab.hpp"
#include "tests/support/relay/node_client.hpp"
#include "tests/support/relay/relay_process.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace {

namespace asio = boost::asio;
using namespace testsupport;
using Stream = asio::ssl::stream<asio::ip::tcp::socket>;

constexpr std::size_t packetSize = 1400;
constexpr std::size_t packetsPerBatch = 64;
constexpr std::size_t batchesPerIteration = 64;
constexpr std::uint64_t deviceID = 1;

asio::awaitable<void> writeBatches(Stream& stream, const Bytes& batch, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    auto buffer = asio::buffer(batch);
    co_await asio::async_write(stream, buffer, asio::use_awaitable);
  }
}

asio::awaitable<void> readBytes(Stream& stream, std::size_t total) {
  std::vector<std::uint8_t> buffer(131072);
  std::size_t got = 0;
  while (got < total) {
    auto space = asio::buffer(buffer);
    got += co_await stream.async_read_some(space, asio::use_awaitable);
  }
}

void RelayEchoHop(benchmark::State& state) {
  Lab lab(1);
  RelayProcess relay(lab.relayArguments(0));
  NodeClient node(relay.port(), lab.paths().nodeCA().string());
  if (!node.authenticate(lab.credential(deviceID, "198.19.0.2"), deviceID)) {
    state.SkipWithError("authentication failed");
    return;
  }
  auto packet = udpPacket(ipv4(198, 19, 0, 2), 40000, ipv4(203, 0, 113, 7), 9,
                          std::string(packetSize - 28, 'b'));
  Bytes batch;
  for (std::size_t i = 0; i < packetsPerBatch; ++i)
    batch.insert(batch.end(), packet.begin(), packet.end());
  auto perIteration = batch.size() * batchesPerIteration;

  auto& io = node.context();
  auto& stream = node.stream();
  for (auto _ : state) {
    runtime::spawn(io.get_executor(), writeBatches(stream, batch, batchesPerIteration));
    runtime::spawn(io.get_executor(), readBytes(stream, perIteration));
    io.restart();
    io.run();
  }
  auto bytes = static_cast<double>(perIteration) * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["Gbit/s"] = benchmark::Counter(bytes * 8 / 1e9, benchmark::Counter::kIsRate);
  state.counters["packets/s"] = benchmark::Counter(bytes / packetSize, benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(RelayEchoHop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

BENCHMARK_MAIN();
