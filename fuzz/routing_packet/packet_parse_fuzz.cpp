// Parses arbitrary bytes as an outgoing packet and checks the result against the
// header fields read independently, then feeds the flow through a router.

#include "flowgate/routing/flow_router.hpp"
#include "flowgate/routing/packet_metadata.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

unsigned be16(const std::uint8_t* p) { return (unsigned{p[0]} << 8) | p[1]; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using flowgate::PacketMetadata;
  const auto metadata = PacketMetadata::parse(std::span(data, size));

  const bool usable = size >= 20 && (data[0] >> 4) == 4 && (data[0] & 0x0f) >= 5 &&
                      size >= std::size_t{data[0] & 0x0fU} * 4;
  check(metadata.has_value() == usable);
  if (!metadata) return 0;

  const auto& key = metadata->flowKey;
  const std::size_t header = std::size_t{data[0] & 0x0fU} * 4;
  const bool fragment = data[7] != 0 || (data[6] & 0x3f) != 0;
  check(metadata->destination == key.destination);
  check(metadata->protocolNumber == key.proto);
  check(key.proto == data[9]);
  check(key.source == ((std::uint32_t{data[12]} << 24) | (std::uint32_t{data[13]} << 16) |
                       (std::uint32_t{data[14]} << 8) | data[15]));
  check(key.destination == ((std::uint32_t{data[16]} << 24) | (std::uint32_t{data[17]} << 16) |
                            (std::uint32_t{data[18]} << 8) | data[19]));

  const bool tcp = key.proto == PacketMetadata::tcp;
  const bool ported = tcp || key.proto == PacketMetadata::udp;
  if (fragment || !(tcp && size >= header + 20))
    check(metadata->tcpFlags == 0);
  else
    check(metadata->tcpFlags == data[header + 13]);
  if (fragment || key.proto == PacketMetadata::icmp || !ported || size < header + 4) {
    check(key.destinationPort == 0);
  } else {
    check(key.sourcePort == be16(data + header));
    check(key.destinationPort == be16(data + header + 2));
  }
  if (key.proto == PacketMetadata::icmp && !fragment && size >= header + 6) {
    check(key.sourcePort == be16(data + header + 4));
  } else if (fragment || !ported || size < header + 4) {
    check(key.sourcePort == 0);
  }

  // A packet that ends its flow leaves no binding; any other keeps the path.
  flowgate::FlowRouter router;
  router.bind(key, "192.0.2.1:443", 1000);
  router.recordSent(*metadata, "198.51.100.2:443", 1001);
  const auto bound = router.lookup(key, 1002);
  check(bound.has_value() == !metadata->endsFlow());
  if (bound) check(*bound == "198.51.100.2:443");
  return 0;
}
