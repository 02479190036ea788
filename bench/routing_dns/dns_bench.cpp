// The DNS proxy's cost: reading the addresses of a full-size response, and the
// latency a locally answered query adds over asking the resolver (dnsmasq on
// loopback) directly. Latencies are reported as p50 and p99 in microseconds.

#include "flowgate/routing/dns_packet.hpp"
#include "flowgate/routing/dns_proxy.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/dns/dns_messages.hpp"
#include "tests/support/dns/dnsmasq_process.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

using dns_test::Bytes;
using Clock = std::chrono::steady_clock;

// A 512-byte response: one question, 8 A records, and an additional TXT
// record (never read) filling it up.
Bytes fullResponse() {
  std::vector<dns_test::Record> records;
  for (std::uint8_t i = 1; i <= 8; ++i)
    records.push_back(dns_test::a(dns_test::ip(203, 0, 113, i)));
  auto message = dns_test::response(
      dns_test::query(7, "www.some-service.cdn.example", dns_test::typeA), records);
  message[11] = 1;
  const std::size_t fill = 512 - message.size() - 12;
  const Bytes txt{0xc0,
                  0x0c,
                  0,
                  16,
                  0,
                  1,
                  0,
                  0,
                  0,
                  60,
                  static_cast<std::uint8_t>(fill >> 8),
                  static_cast<std::uint8_t>(fill)};
  message.insert(message.end(), txt.begin(), txt.end());
  message.resize(512, 'x');
  return message;
}

void BM_Answers(benchmark::State& state) {
  const auto message = fullResponse();
  if (message.size() != 512 || flowgate::dns::answers(message).size() != 8) std::abort();
  for (auto _ : state) {
    auto addresses = flowgate::dns::answers(message);
    benchmark::DoNotOptimize(addresses.data());
  }
}
BENCHMARK(BM_Answers);

dns_test::DnsmasqProcess& resolver() {
  static dns_test::DnsmasqProcess instance(
      std::vector<std::pair<std::string, std::string>>{{"nas.test.example", "192.168.1.10"}});
  return instance;
}

void reportPercentiles(benchmark::State& state, std::vector<double>& micros) {
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

// The baseline: one blocking exchange with dnsmasq, as any client makes it.
void BM_AskResolverDirectly(benchmark::State& state) {
  const auto query = dns_test::query(0x5a5a, "nas.test.example", dns_test::typeA);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(resolver().port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  std::vector<std::uint8_t> buffer(65536);
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = Clock::now();
    if (send(fd, query.data(), query.size(), 0) < 0) std::abort();
    if (recv(fd, buffer.data(), buffer.size(), 0) <= 0) std::abort();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  close(fd);
  reportPercentiles(state, micros);
}
BENCHMARK(BM_AskResolverDirectly)->UseRealTime();

// A query packet through the proxy to the same dnsmasq, answered locally: from
// process() to the reply handed to the writer.
void BM_ProcessAnsweredLocally(benchmark::State& state) {
  boost::asio::io_context io;
  flowgate::ExtensionDNSConfig config;
  config.servers = {"198.19.0.53"};
  config.localResolvers = {"127.0.0.1"};
  config.defaultRegion = "ZZ";
  config.queryTimeoutMs = 2000;
  std::size_t delivered = 0;
  auto proxy = flowgate::DNSProxy::create(
      io.get_executor(), config, flowgate::GeoIPTable(),
      [](runtime::SharedBytes, flowgate::PacketMetadata, std::string) -> runtime::Task<void> {
        std::abort();
        co_return;
      },
      [&](runtime::SharedBytes) { ++delivered; },
      flowgate::DNSProxy::udpUpstream(resolver().port()));
  const auto packet = runtime::SharedBytes(
      dns_test::udpPacket(dns_test::ip(198, 19, 0, 2), dns_test::ip(198, 19, 0, 53), 40000, 53,
                          dns_test::query(0x5a5a, "nas.test.example", dns_test::typeA)));
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = Clock::now();
    runtime::spawn(io.get_executor(),
                   [&]() -> runtime::Task<void> { co_await proxy->process(packet); });
    io.restart();
    io.run();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (delivered != micros.size()) std::abort();
  reportPercentiles(state, micros);
}
BENCHMARK(BM_ProcessAnsweredLocally)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
