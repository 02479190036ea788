// Allocations per packet on the data path in steady state, counted by this
// program's own operator new. Datagrams sent into a TUN device are read in
// batches as the packet loop reads them and routed by a session pool with one
// path, to an echo relay on loopback; the echoes come back through the
// session's reads and are written into the device, where the sending socket
// receives them. All of it runs on the pool's strand, in a network namespace
// of the program's own (so it needs root), after a warm-up. Goal: none on the
// way out or back.
//
// "out" counts from the datagrams' send to the pool's write of them, "back"
// from there until every echo has been written and received; the two overlap
// a little when a round takes several reads.

#include "bench/routing_packet/allocation_counter.hpp"
#include "flowgate/provider/packet_loop.hpp"
#include "flowgate/transport/node_session_pool.hpp"
#include "platform/tun_device.hpp"
#include "platform/tun_packet_flow.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/relay/lab.hpp"
#include "tests/support/relay/relay_process.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

namespace asio = boost::asio;
using namespace testsupport;
using flowgate::NodeSessionPool;
using flowgate::Session;

constexpr std::uint64_t kDeviceID = 42;
constexpr const char* kTunnelText = "198.19.0.2";
constexpr std::uint32_t kTunnel = ipv4(198, 19, 0, 2);
constexpr std::uint32_t kFar = ipv4(198, 19, 0, 9);
constexpr std::size_t kWarmRounds = 200;
constexpr std::size_t kRounds = 2000;

// A UDP socket on the tunnel's address, connected to the far side.
int datagramSocket() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int size = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in local{AF_INET, htons(5000), {htonl(kTunnel)}, {}};
  sockaddr_in far{AF_INET, htons(9), {htonl(kFar)}, {}};
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&far), sizeof far) != 0) {
    std::perror("datagram socket");
    std::exit(1);
  }
  return fd;
}

// Arguments: datagrams per round, their IP size.
void BM_DataPathAllocations(benchmark::State& state) {
  const auto perRound = static_cast<std::size_t>(state.range(0));
  const auto size = static_cast<std::size_t>(state.range(1));
  Lab lab(1);
  RelayProcess relay(lab.relayArguments(0));
  auto device = platform::TunDevice::open("vkb%d", platform::TunOffload::tcp);
  device.setMTU(1500);
  device.setIPv4Address(kTunnel, 24);
  device.bringUp();
  asio::io_context io;
  platform::TunPacketFlow flow(io.get_executor(), device);
  const int fd = datagramSocket();

  flowgate::ExtensionBootstrap bootstrap;
  bootstrap.deviceID = kDeviceID;
  bootstrap.deviceCredential = lab.credential(kDeviceID, kTunnelText);
  bootstrap.vpnIPv4 = kTunnelText;
  bootstrap.config.nodes = {{1, "relay", "127.0.0.1:" + std::to_string(relay.port()), {}, 0}};
  std::size_t echoed = 0;
  std::size_t expected = 0;
  std::function<void()> echoesWritten;
  auto pool = NodeSessionPool::create(
      io.get_executor(), bootstrap, false, lab.trustBundle(), {}, nullptr,
      [&](const Session::Packets& packets) {
        flow.writePackets(packets, {});
        echoed += packets.size();
        if (echoed >= expected) echoesWritten();
      },
      nullptr);
  // Woken by the handler once a round's echoes are all written.
  asio::steady_timer echoes(pool->strand(), asio::steady_timer::time_point::max());
  echoesWritten = [&] { echoes.cancel(); };
  std::uint64_t out = 0, back = 0;
  runtime::spawn(
      pool->strand(),
      [&]() -> runtime::Task<void> {
        const std::vector<std::uint8_t> payload(size - 28, 'b');
        std::vector<std::uint8_t> sink(65536);
        flowgate::LoopBuffers buffers;
        const std::shared_ptr<flowgate::DNSProxy> noProxy;
        for (std::size_t round = 0; round < kWarmRounds + kRounds; ++round) {
          const auto start = bench::allocationCount();
          expected = echoed + perRound;
          for (std::size_t i = 0; i < perRound; ++i) ::send(fd, payload.data(), payload.size(), 0);
          for (std::size_t read = 0; read < perRound; read += buffers.read.packets.size()) {
            auto reading = flow.readPacketsInto(buffers.read);
            co_await std::move(reading);
            auto routing = flowgate::routeRead(*pool, noProxy, buffers);
            co_await std::move(routing);
          }
          const auto sent = bench::allocationCount();
          // The first rounds wait for the path to connect; a lost round ends the run.
          while (echoed < expected) {
            echoes.expires_after(std::chrono::seconds(5));
            auto waiting = echoes.async_wait(runtime::asTuple);
            auto [ec] = co_await std::move(waiting);
            if (!ec) {
              io.stop();
              co_return;
            }
          }
          // Written into the device, the echoes reach the socket within moments.
          for (std::size_t received = 0; received < perRound;) {
            if (::recv(fd, sink.data(), sink.size(), 0) > 0) {
              ++received;
            } else {
              pollfd readable{fd, POLLIN, 0};
              ::poll(&readable, 1, 1000);
            }
          }
          if (round >= kWarmRounds) {
            out += sent - start;
            back += bench::allocationCount() - sent;
          }
        }
        io.stop();
      },
      [&](std::exception_ptr) { io.stop(); });

  // One run() as a daemon's thread has, not run_one() per event: a thread
  // keeps the memory of finished operations for the next only while it runs.
  for (auto _ : state) io.run();
  ::close(fd);
  const auto packets = static_cast<double>(kRounds * perRound);
  state.counters["allocs_per_packet_out"] = static_cast<double>(out) / packets;
  state.counters["allocs_per_packet_back"] = static_cast<double>(back) / packets;
  if (echoed < (kWarmRounds + kRounds) * perRound) state.SkipWithError("echoes missing");
  io.restart();
  runtime::spawn(io.get_executor(), pool->close());
  io.poll();
}
BENCHMARK(BM_DataPathAllocations)
    ->ArgNames({"datagrams", "bytes"})
    ->Args({1, 84})
    ->Args({64, 1400})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // A namespace of its own: the device and the relay exist only here.
  // Without IPv6 the kernel sends nothing of its own into the device.
  if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set dev lo up") != 0 ||
      std::system("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                  "net.ipv6.conf.default.disable_ipv6=1") != 0) {
    std::fprintf(stderr, "bench_datapath: needs root (a network namespace of its own)\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
