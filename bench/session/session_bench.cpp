// One node session to one echo relay on loopback: 1,400-byte packets sent in
// batches of 64 and echoed back. Reports payload throughput each way and the
// CPU time per gigabyte of the client process and of the relay.

#include "flowgate/transport/session.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/relay/lab.hpp"
#include "tests/support/relay/relay_process.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <fstream>
#include <sstream>

namespace {

namespace asio = boost::asio;
using namespace testsupport;

constexpr std::uint64_t kDeviceID = 42;
constexpr std::uint32_t kTunnel = ipv4(198, 19, 0, 2);
constexpr std::size_t kPacketSize = 1400;
constexpr std::size_t kBatch = 64;
constexpr std::size_t kBatchesPerRound = 400;  // 35.8 MB each way per round
constexpr std::size_t kWindow = 16;            // batches in flight before waiting for echoes

double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double childCPUSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void BM_SessionEcho(benchmark::State& state) {
  Lab lab(1);
  RelayProcess relay(lab.relayArguments(0));
  asio::io_context io;
  flowgate::TrustBundle bundle{
      1, "now", {readFile(lab.paths().nodeCA())}, {{"k", "ed25519", "x", "a", "b"}}};
  std::shared_ptr<flowgate::Session> session;
  bool connecting = true;
  std::size_t receivedPackets = 0;
  asio::co_spawn(
      io,
      [&]() -> runtime::Task<void> {
        std::vector<flowgate::ExtensionNode> path{
            {1, "n", "127.0.0.1:" + std::to_string(relay.port()), {}, 0}};
        session = co_await flowgate::Session::connect(io.get_executor(), path,
                                                      lab.credential(kDeviceID, "198.19.0.2"),
                                                      kDeviceID, bundle, {});
        co_await session->setPacketHandler(
            [&](const flowgate::Session::Packets& packets) { receivedPackets += packets.size(); });
      },
      [&](std::exception_ptr) { connecting = false; });
  // The session's read loop keeps the context busy: run until the connect ends.
  while (connecting) io.run_one();
  if (!session) {
    state.SkipWithError("no session");
    return;
  }

  flowgate::Session::Packets batch;
  std::string payload(kPacketSize - 28, 'b');
  for (std::size_t i = 0; i < kBatch; ++i) {
    batch.emplace_back(udpPacket(kTunnel, 5000, ipv4(203, 0, 113, 9), 9, payload));
  }

  double seconds = 0, clientCPU = 0, relayCPU = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    receivedPackets = 0;
    std::size_t sentBatches = 0;
    auto cpu0 = processCPUSeconds();
    auto relay0 = childCPUSeconds(relay.pid());
    auto start = std::chrono::steady_clock::now();
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      while (sentBatches < kBatchesPerRound) {
        if (sentBatches * kBatch - receivedPackets > kWindow * kBatch) {
          co_await asio::post(io, asio::use_awaitable);
          continue;
        }
        if (!co_await session->sendBatch(batch)) co_return;
        ++sentBatches;
      }
    });
    io.restart();
    while (receivedPackets < kBatchesPerRound * kBatch) io.run_one();
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    clientCPU += processCPUSeconds() - cpu0;
    relayCPU += childCPUSeconds(relay.pid()) - relay0;
    bytes += kBatchesPerRound * kBatch * kPacketSize;
  }
  double gigabytes = static_cast<double>(bytes) / 1e9;  // each way
  state.counters["Gbit/s_each_way"] = gigabytes * 8 / seconds;
  state.counters["client_cpu_s_per_GB"] = clientCPU / (2 * gigabytes);
  state.counters["relay_cpu_s_per_GB"] = relayCPU / (2 * gigabytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_SessionEcho)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
