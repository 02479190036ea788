// End to end through the pool: 1,400-byte UDP packets in batches of 64, from
// 1,000 flows over two routes, each to its own echo relay on loopback, echoed
// back. The bare session figure (one session, one relay, the same batches) is
// measured in the same run for comparison.

#include "flowgate/transport/node_session_pool.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/relay/lab.hpp"
#include "tests/support/relay/relay_process.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <functional>
#include <random>

namespace {

namespace asio = boost::asio;
using namespace testsupport;
using namespace flowgate;

constexpr std::uint64_t kDeviceID = 42;
constexpr const char* kTunnelText = "198.19.0.2";
constexpr std::uint32_t kTunnel = ipv4(198, 19, 0, 2);
constexpr std::size_t kPacketSize = 1400;
constexpr std::size_t kBatch = 64;
constexpr std::size_t kBatchesPerRound = 400;  // 35.8 MB each way per round
constexpr std::size_t kWindow = 16;            // batches in flight before waiting for echoes
constexpr std::size_t kFlows = 1000;

double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// `send(batch index)` sends one batch; rounds run until every echo is back.
using SendBatch = std::function<runtime::Task<bool>(std::size_t)>;

void runRounds(benchmark::State& state, asio::io_context& io, std::size_t& received,
               const SendBatch& send) {
  double seconds = 0, cpu = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    received = 0;
    std::size_t sent = 0;
    auto cpu0 = processCPUSeconds();
    auto start = std::chrono::steady_clock::now();
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      while (sent < kBatchesPerRound) {
        if (sent * kBatch - received > kWindow * kBatch) {
          co_await asio::post(io, asio::use_awaitable);
          continue;
        }
        auto sending = send(sent);
        if (!co_await std::move(sending)) co_return;
        ++sent;
      }
    });
    io.restart();
    while (received < kBatchesPerRound * kBatch) io.run_one();
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    cpu += processCPUSeconds() - cpu0;
    bytes += kBatchesPerRound * kBatch * kPacketSize;
  }
  state.counters["Gbit/s_each_way"] = static_cast<double>(bytes) * 8 / 1e9 / seconds;
  // Both directions count: the client encrypts what it sends and decrypts the echoes.
  state.counters["client_cpu_s_per_GB"] = cpu / (2 * static_cast<double>(bytes) / 1e9);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// Packets of 1,000 flows: flow i goes to 203.0.113.(i % 2 ? 128 : 0) + i % 100,
// so the two /25 routes each carry half of every batch.
std::vector<std::vector<OutboundPacket>> batches(bool splitEachBatch = true) {
  std::string payload(kPacketSize - 28, 'b');
  std::vector<OutboundPacket> flows;
  for (std::size_t i = 0; i < kFlows; ++i) {
    auto host = static_cast<std::uint8_t>((i % 2 ? 128 : 0) + i % 100);
    auto bytes = udpPacket(kTunnel, static_cast<std::uint16_t>(2000 + i), ipv4(203, 0, 113, host),
                           9, payload);
    auto metadata = *PacketMetadata::parse(bytes);
    flows.push_back({runtime::SharedBytes(std::move(bytes)), metadata});
  }
  std::mt19937 random(5);
  std::uniform_int_distribution<std::size_t> pick(0, kFlows - 1);
  std::vector<std::vector<OutboundPacket>> result(64);
  for (std::size_t k = 0; k < result.size(); ++k) {
    while (result[k].size() < kBatch) {
      auto flow = pick(random);
      // Unsplit: even batches only to the first route, odd ones to the second.
      if (splitEachBatch || flow % 2 == k % 2) result[k].push_back(flows[flow]);
    }
  }
  return result;
}

ExtensionNode nodeAt(std::uint64_t id, std::uint16_t port) {
  return {id, "relay", "127.0.0.1:" + std::to_string(port), std::nullopt, 0};
}

// Sessions to `relays`, their echoes counted in `received`; empty when one fails.
std::vector<std::shared_ptr<Session>> connectAll(asio::io_context& io, const Lab& lab,
                                                 const std::vector<RelayProcess*>& relays,
                                                 std::size_t& received) {
  std::vector<std::shared_ptr<Session>> sessions;
  bool connecting = true;
  runtime::spawn(
      io.get_executor(),
      [&]() -> runtime::Task<void> {
        for (std::size_t i = 0; i < relays.size(); ++i) {
          auto connect = Session::connect(io.get_executor(), {nodeAt(i + 1, relays[i]->port())},
                                          lab.credential(kDeviceID, kTunnelText), kDeviceID,
                                          lab.trustBundle(), {});
          auto session = co_await std::move(connect);
          auto installing = session->setPacketHandler(
              [&](const Session::Packets& packets) { received += packets.size(); });
          co_await std::move(installing);
          sessions.push_back(std::move(session));
        }
        connecting = false;
      },
      [&](std::exception_ptr) { connecting = false; });
  while (connecting) io.run_one();
  if (sessions.size() != relays.size()) sessions.clear();
  return sessions;
}

// Arg 1: one session to one relay (the bare figure). Arg 2: two sessions to
// two relays, batches alternating, the pool's topology without the pool.
void BM_BareSession(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  Lab lab(2);
  RelayProcess first(lab.relayArguments(0));
  RelayProcess second(lab.relayArguments(1));
  std::vector<RelayProcess*> relays{&first, &second};
  relays.resize(count);
  asio::io_context io;
  std::size_t received = 0;
  auto sessions = connectAll(io, lab, relays, received);
  if (sessions.empty()) {
    state.SkipWithError("no session");
    return;
  }
  auto all = batches(false);
  std::vector<Session::Packets> packets;
  for (const auto& batch : all) {
    Session::Packets bytes;
    for (const auto& item : batch) bytes.push_back(item.bytes);
    packets.push_back(std::move(bytes));
  }
  runRounds(state, io, received, [&](std::size_t k) {
    return sessions[k % count]->sendBatch(packets[k % packets.size()]);
  });
}
BENCHMARK(BM_BareSession)
    ->ArgName("relays")
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

// Arg 1: every batch splits over both paths (two sends); 0: batches alternate.
void BM_PoolTwoPaths(benchmark::State& state) {
  Lab lab(2);
  RelayProcess first(lab.relayArguments(0));
  RelayProcess second(lab.relayArguments(1));
  asio::io_context io;
  std::size_t received = 0;

  ExtensionBootstrap bootstrap;
  bootstrap.deviceID = kDeviceID;
  bootstrap.deviceCredential = lab.credential(kDeviceID, kTunnelText);
  bootstrap.vpnIPv4 = kTunnelText;
  bootstrap.config.nodes = {nodeAt(1, first.port()), nodeAt(2, second.port())};
  bootstrap.config.routes = {{"203.0.113.0/25", {1}}, {"203.0.113.128/25", {2}}};
  bootstrap.config.defaultNodes = {1};
  auto pool = NodeSessionPool::create(
      io.get_executor(), bootstrap, false, lab.trustBundle(), GeoIPTable(), nullptr,
      [&](const Session::Packets& packets) { received += packets.size(); }, nullptr);

  auto all = batches(state.range(0) != 0);
  // Connect both paths before measuring.
  bool warm = false;
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    auto sending = pool->submitBatch(all[0]);
    co_await std::move(sending);
    warm = true;
  });
  while (!warm || received < kBatch) io.run_one();
  warm = false;
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    auto sending = pool->submitBatch(all[1]);
    co_await std::move(sending);
    warm = true;
  });
  while (!warm || received < 2 * kBatch) io.run_one();
  runRounds(state, io, received, [&](std::size_t k) -> runtime::Task<bool> {
    auto sending = pool->submitBatch(all[k % all.size()]);
    co_await std::move(sending);
    co_return true;
  });
  bool closed = false;
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    auto closing = pool->close();
    co_await std::move(closing);
    closed = true;
  });
  while (!closed) io.run_one();
}
BENCHMARK(BM_PoolTwoPaths)
    ->ArgName("split")
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
