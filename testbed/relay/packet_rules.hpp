#pragma once

// The few IPv4, ICMP and UDP rules the exit needs. Packets are whole IPv4
// packets as the stream decoder cuts them (size == Total Length).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace testbed::packet {

constexpr std::uint8_t icmpProtocol = 1;
constexpr std::uint8_t udpProtocol = 17;

std::uint32_t sourceAddress(std::span<const std::uint8_t> packet);       // size >= 20
std::uint32_t destinationAddress(std::span<const std::uint8_t> packet);  // size >= 20

// The Internet checksum (one's complement of the one's complement sum).
std::uint16_t internetChecksum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0);

// An unfragmented UDP datagram whose lengths are consistent.
struct UDPDatagram {
  std::uint32_t source;
  std::uint32_t destination;
  std::uint16_t sourcePort;
  std::uint16_t destinationPort;
  std::span<const std::uint8_t> payload;
};
std::optional<UDPDatagram> udpDatagram(std::span<const std::uint8_t> packet);

// Appends a UDP packet (20-byte header, TTL 64, checksums set).
void appendUDPPacket(std::vector<std::uint8_t>& out, std::uint32_t source, std::uint16_t sourcePort,
                     std::uint32_t destination, std::uint16_t destinationPort,
                     std::span<const std::uint8_t> payload);

// Appends the answer to an ICMP echo request (an echo reply) or to a UDP
// datagram (the datagram sent back, addresses and ports swapped), with TTL 64
// and every checksum recomputed. Returns false, appending nothing, for anything
// else, fragments and inconsistent headers included.
bool appendEchoReply(std::span<const std::uint8_t> packet, std::vector<std::uint8_t>& out);

}  // namespace testbed::packet
