// The tunnel's platform layers at scale, inside a network namespace of the
// program's own: applying 100,000 excluded routes, re-applying with 1,000
// changed, removing them, installing lockdown's block with 100,000 allowed
// networks, and the TUN flow's packet rates for 1,400-byte packets each way.

#include "platform/linux_settings_applier.hpp"
#include "platform/nft_lockdown_firewall.hpp"
#include "platform/tun_packet_flow.hpp"
#include "tests/support/netns/namespace.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <iostream>
#include <memory>

namespace {

constexpr const char* kTun = "vkpt0";
constexpr std::size_t kPacketSize = 1400;

testsupport::Namespace* benchNamespace = nullptr;
platform::TunDevice* device = nullptr;

// Distinct host routes inside 198.18.0.0/15 (131,072 addresses), from `first`.
std::vector<platform::IPv4Route> excludedRoutes(std::size_t count, std::size_t first = 0) {
  std::vector<platform::IPv4Route> routes;
  routes.reserve(count);
  for (std::size_t i = first; i < first + count; ++i) {
    std::uint32_t host = 0xC6120000u + static_cast<std::uint32_t>(i);
    routes.push_back({runtime::ipv4::dottedQuad(host), "255.255.255.255"});
  }
  return routes;
}

platform::NetworkSettings settingsWith(std::vector<platform::IPv4Route> excluded) {
  platform::NetworkSettings settings;
  settings.ipv4Settings = platform::IPv4Settings{
      {"203.0.113.2"}, {"255.255.255.0"}, {{"0.0.0.0", "0.0.0.0"}}, std::move(excluded)};
  settings.mtu = 1500;
  return settings;
}

void BM_ApplyExcludedRoutes(benchmark::State& state) {
  platform::LinuxSettingsApplier applier(kTun, nullptr);
  auto settings = settingsWith(excludedRoutes(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    state.PauseTiming();
    applier.removeNow();
    state.ResumeTiming();
    applier.applyNow(settings);
  }
  applier.removeNow();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ApplyExcludedRoutes)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ReapplyWithChangedRoutes(benchmark::State& state) {
  platform::LinuxSettingsApplier applier(kTun, nullptr);
  const std::size_t total = 100000, changed = static_cast<std::size_t>(state.range(0));
  auto before = settingsWith(excludedRoutes(total));
  // The last `changed` routes leave; as many new ones come.
  auto routes = excludedRoutes(total - changed);
  auto fresh = excludedRoutes(changed, total);
  routes.insert(routes.end(), fresh.begin(), fresh.end());
  auto after = settingsWith(routes);
  for (auto _ : state) {
    state.PauseTiming();
    applier.applyNow(before);
    state.ResumeTiming();
    applier.applyNow(after);
  }
  applier.removeNow();
}
BENCHMARK(BM_ReapplyWithChangedRoutes)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_RemoveRoutes(benchmark::State& state) {
  platform::LinuxSettingsApplier applier(kTun, nullptr);
  auto settings = settingsWith(excludedRoutes(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    state.PauseTiming();
    applier.applyNow(settings);
    state.ResumeTiming();
    applier.removeNow();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RemoveRoutes)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

// Lockdown's block with 100,000 allowed networks, each replacing the last (as
// at every application). Every other address, so none merge; they are only
// set elements here, nothing is sent to them.
void BM_InstallLockdown(benchmark::State& state) {
  platform::NftLockdownFirewall firewall;
  platform::LockdownRules rules{kTun, {}};
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(state.range(0)); ++i) {
    std::uint32_t host = 0xC6120000u + 2 * i;
    rules.allowed.push_back({host, host});
  }
  for (auto _ : state) firewall.install(rules);
  firewall.remove();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InstallLockdown)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

// Reads packets the stack queued on the device (UDP to an address behind it),
// through the flow in batches.
void BM_TunFlowRead(benchmark::State& state) {
  const std::size_t queued = 20000;
  boost::asio::io_context context;
  platform::TunPacketFlow flow(context.get_executor(), *device);
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(9);
  ::inet_pton(AF_INET, "198.19.0.2", &peer.sin_addr);
  std::vector<std::uint8_t> payload(kPacketSize - 28, 0x5a);
  std::vector<mmsghdr> messages(64);
  iovec vector{payload.data(), payload.size()};
  for (auto& message : messages) {
    message = {};
    message.msg_hdr.msg_name = &peer;
    message.msg_hdr.msg_namelen = sizeof peer;
    message.msg_hdr.msg_iov = &vector;
    message.msg_hdr.msg_iovlen = 1;
  }
  std::size_t read = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (std::size_t sent = 0; sent < queued;) {
      int n = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(messages.size()), 0);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    state.ResumeTiming();
    std::size_t got = 0;
    boost::asio::co_spawn(
        context,
        [&]() -> runtime::Task<void> {
          while (got < queued) got += (co_await flow.readPackets()).packets.size();
        },
        [](std::exception_ptr error) {
          if (error) std::rethrow_exception(error);
        });
    context.restart();
    context.run();
    read += got;
  }
  ::close(fd);
  state.counters["packets_per_second"] =
      benchmark::Counter(static_cast<double>(read), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TunFlowRead)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

std::uint16_t headerChecksum(const std::uint8_t* header) {
  std::uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += (header[i] << 8) | header[i + 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// Writes UDP packets for a local socket into the device, 64 per batch.
void BM_TunFlowWrite(benchmark::State& state) {
  boost::asio::io_context context;
  platform::TunPacketFlow flow(context.get_executor(), *device);
  int sink = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(9);
  ::bind(sink, reinterpret_cast<sockaddr*>(&local), sizeof local);
  std::vector<std::uint8_t> packet(kPacketSize, 0x5a);
  const std::uint8_t header[28] = {0x45,
                                   0,
                                   kPacketSize >> 8,
                                   kPacketSize & 0xff,
                                   0,
                                   0,
                                   0x40,
                                   0,
                                   64,
                                   17,
                                   0,
                                   0,
                                   198,
                                   19,
                                   0,
                                   2,
                                   203,
                                   0,
                                   113,
                                   2,
                                   0x30,
                                   0x39,
                                   0,
                                   9,
                                   (kPacketSize - 20) >> 8,
                                   (kPacketSize - 20) & 0xff,
                                   0,
                                   0};
  std::copy(std::begin(header), std::end(header), packet.begin());
  auto sum = headerChecksum(packet.data());
  packet[10] = static_cast<std::uint8_t>(sum >> 8);
  packet[11] = static_cast<std::uint8_t>(sum);
  std::vector<runtime::SharedBytes> batch(64, runtime::SharedBytes(packet));
  std::vector<int> protocols(batch.size(), platform::kFamilyIPv4);
  std::vector<std::uint8_t> drain(65536);
  for (auto _ : state) {
    flow.writePackets(batch, protocols);
    state.PauseTiming();
    while (::recv(sink, drain.data(), drain.size(), MSG_DONTWAIT) > 0) {
    }
    state.ResumeTiming();
  }
  ::close(sink);
  state.counters["packets_per_second"] = benchmark::Counter(
      static_cast<double>(state.iterations() * batch.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TunFlowWrite)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!testsupport::namespacesAvailable()) {
    std::cerr << "needs root, /dev/net/tun and ip netns\n";
    return 1;
  }
  testsupport::Namespace ns("bench");
  ns.enter();
  auto tun = platform::TunDevice::open(kTun);
  ns.must(std::string("ip link set ") + kTun +
          " up txqueuelen 50000 && ip addr add 198.19.0.1/24 dev " + kTun +
          " && ip addr add 203.0.113.2/32 dev lo");
  device = &tun;
  benchNamespace = &ns;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
