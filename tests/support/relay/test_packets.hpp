#pragma once

// IPv4 packets built and checked independently of the relay's own packet code,
// so the tests catch its checksum or layout faults.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

Bytes icmpEchoRequest(std::uint32_t source, std::uint32_t destination, std::uint16_t identifier,
                      std::uint16_t sequence, std::string_view payload);
// A bare TCP header (no options, no payload) with the given flags.
Bytes tcpSegment(std::uint32_t source, std::uint16_t sourcePort, std::uint32_t destination,
                 std::uint16_t destinationPort, std::uint8_t flags);
Bytes udpPacket(std::uint32_t source, std::uint16_t sourcePort, std::uint32_t destination,
                std::uint16_t destinationPort, std::span<const std::uint8_t> payload);
Bytes udpPacket(std::uint32_t source, std::uint16_t sourcePort, std::uint32_t destination,
                std::uint16_t destinationPort, std::string_view payload);

struct Parsed {
  std::uint32_t source = 0;
  std::uint32_t destination = 0;
  std::uint8_t protocol = 0;
  bool headerChecksumOK = false;
  bool transportChecksumOK = false;  // ICMP or UDP (a zero UDP checksum counts as OK)
  std::uint8_t icmpType = 0;
  std::uint16_t icmpIdentifier = 0, icmpSequence = 0;
  std::uint16_t sourcePort = 0, destinationPort = 0;
  Bytes payload;  // after the ICMP echo or UDP header
};
Parsed parse(std::span<const std::uint8_t> packet);

}  // namespace testsupport
