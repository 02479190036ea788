// The exit's packet rules on arbitrary packets: an answer, when one is made, is
// exactly as long as the request, and nothing is appended otherwise.

#include "testbed/relay/packet_rules.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> packet(data, size);
  std::vector<std::uint8_t> out;
  bool answered = testbed::packet::appendEchoReply(packet, out);
  if (out.size() != (answered ? size : 0)) std::abort();
  if (auto datagram = testbed::packet::udpDatagram(packet)) {
    if (datagram->payload.data() < data ||
        datagram->payload.data() + datagram->payload.size() > data + size) {
      std::abort();
    }
  }
  return 0;
}
