// Feeds arbitrary packets, and arbitrary resolver replies, through the DNS
// proxy. Whatever it writes back must be a well-formed IPv4/UDP packet from a
// server address and port 53 with correct checksums; whatever it sends into
// the tunnel must be the packet as received.
//
// Input: one byte N, N bytes of packet (fewer when the input ends), the rest
// is the reply every resolver gives. An odd first byte copies the query's id
// into the reply so replies get past the id check.

#include "flowgate/routing/dns_packet.hpp"
#include "flowgate/routing/dns_proxy.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/dns/dns_messages.hpp"

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

const flowgate::GeoIPTable& table() {
  static const flowgate::GeoIPTable instance = [] {
    using flowgate::geoip::DirectRecord;
    const DirectRecord direct[] = {*DirectRecord::fromCidr("192.0.2.0/25")};
    const flowgate::GeoIPTable::Route routes[] = {
        {dns_test::ip(203, 0, 113, 0), dns_test::ip(203, 0, 113, 127), flowgate::RegionCode("AA")},
        {dns_test::ip(203, 0, 113, 128), dns_test::ip(203, 0, 113, 255),
         flowgate::RegionCode("BB")}};
    auto file = flowgate::geoip::encode(1, direct, routes);
    return flowgate::geoip::decode(file);
  }();
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t packetSize = std::min<std::size_t>(data[0], size - 1);
  const bool copyId = (data[0] & 1) != 0;
  const std::vector<std::uint8_t> packet(data + 1, data + 1 + packetSize);
  const std::vector<std::uint8_t> reply(data + 1 + packetSize, data + size);

  flowgate::ExtensionDNSConfig config;
  config.servers = {"198.19.0.53", "192.0.2.1"};
  config.localResolvers = {"192.0.2.53", "223.5.5.5"};
  config.defaultRegion = "ZZ";

  boost::asio::io_context io;
  int delivered = 0;
  auto proxy = flowgate::DNSProxy::create(
      io.get_executor(), config, table(),
      [&](runtime::SharedBytes sent, flowgate::PacketMetadata,
          std::string region) -> runtime::Task<void> {
        check(std::equal(sent.begin(), sent.end(), packet.begin(), packet.end()));
        check(region.size() == 2);
        co_return;
      },
      [&](runtime::SharedBytes answer) {
        ++delivered;
        const std::vector<std::uint8_t> bytes(answer.begin(), answer.end());
        check(dns_test::checksumsValid(bytes));
        auto datagram = flowgate::dns::udp(bytes);
        check(datagram && datagram->sourcePort == 53 && bytes[0] == 0x45 &&
              static_cast<std::size_t>((bytes[2] << 8) | bytes[3]) == bytes.size());
        check(datagram->sourceIP == dns_test::ip(198, 19, 0, 53) ||
              datagram->sourceIP == dns_test::ip(192, 0, 2, 1));
      },
      // No socket: every resolver gives the fuzzed reply.
      [&](std::vector<std::uint8_t> message, std::string,
          std::chrono::milliseconds) -> runtime::Task<std::vector<std::uint8_t>> {
        auto answer = reply;
        if (copyId && answer.size() >= 2 && message.size() >= 2) {
          answer[0] = message[0];
          answer[1] = message[1];
        }
        co_return answer;
      });
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    co_await proxy->process(runtime::SharedBytes::copy(packet));
  });
  io.run();
  check(delivered <= 1);
  return 0;
}
