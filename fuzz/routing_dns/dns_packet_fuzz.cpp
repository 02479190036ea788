// Reads arbitrary bytes as a packet and as a DNS message with every reader of
// the DNS proxy; checks each result against the bytes read independently, and
// that a packet built around the payload parses back to it.

#include "flowgate/routing/dns_packet.hpp"
#include "tests/support/dns/dns_messages.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace dns = flowgate::dns;
  const std::span<const std::uint8_t> bytes(data, size);

  if (auto datagram = dns::udp(bytes)) {
    const std::size_t header = std::size_t{data[0] & 0x0fU} * 4;
    check(header >= 20 && datagram->payload.data() == data + header + 8);
    check(datagram->payload.size() + 8 ==
          ((std::size_t{data[header + 4]} << 8) | data[header + 5]));
    check(datagram->payload.data() + datagram->payload.size() <= data + size);
    auto rebuilt =
        dns::udpPacket(datagram->destinationIP, datagram->sourceIP, datagram->destinationPort,
                       datagram->sourcePort, datagram->payload);
    check(rebuilt.has_value() == (datagram->payload.size() <= dns::maxPayloadSize));
    if (rebuilt) {
      check(dns_test::checksumsValid(*rebuilt));
      auto back = dns::udp(*rebuilt);
      check(back && back->sourceIP == datagram->destinationIP &&
            back->sourcePort == datagram->destinationPort &&
            std::equal(back->payload.begin(), back->payload.end(), datagram->payload.begin(),
                       datagram->payload.end()));
    }
  }

  if (auto type = dns::questionType(bytes)) {
    auto end = dns::skipName(bytes, 12);
    check(end && *end + 4 <= size && *type == ((data[*end] << 8) | data[*end + 1]));
  }

  const auto addresses = dns::answers(bytes);
  check(size >= 12 || addresses.empty());
  check(addresses.size() <= ((size >= 12) ? ((std::size_t{data[6]} << 8) | data[7]) : 0));

  const auto empty = dns::emptyAnswer(bytes);
  check(empty.size() == size);
  if (size >= 12) {
    check(empty[2] == 0x81 && empty[3] == 0x80 && dns::answers(empty).empty());
    check(std::equal(empty.begin() + 12, empty.end(), data + 12));
  }
  return 0;
}
