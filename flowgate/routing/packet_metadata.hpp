#pragma once

// The parsed view of one outgoing IPv4 packet: its five-tuple, destination,
// protocol, for TCP its flags, and where its transport header lies. It is all
// the packet loop, the DNS proxy and the pool read of the header. Parsing runs for every packet
// read from the interface, so it reads fixed header offsets, allocates nothing and lives here in
// the header where the packet loop can inline it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include <boost/endian/conversion.hpp>

namespace flowgate {

struct PacketFlowKey {
  std::uint32_t source = 0;
  std::uint32_t destination = 0;
  // For ICMP the echo identifier; 0 when the packet has no ports.
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  std::uint8_t proto = 0;

  friend bool operator==(const PacketFlowKey&, const PacketFlowKey&) = default;
};

struct PacketMetadata {
  static constexpr std::uint8_t icmp = 1;
  static constexpr std::uint8_t tcp = 6;
  static constexpr std::uint8_t udp = 17;
  static constexpr std::uint8_t tcpFin = 0x01;
  static constexpr std::uint8_t tcpRst = 0x04;

  PacketFlowKey flowKey;
  // Only set for a TCP segment that carries its full 20-byte header.
  std::uint8_t tcpFlags = 0;
  std::uint32_t destination = 0;
  std::uint8_t protocolNumber = 0;
  // The IP header's length: where the transport header starts.
  std::uint8_t transportOffset = 0;
  // The bytes from transportOffset to the end of the packet.
  std::uint32_t transportLength = 0;
  // A piece of a fragmented datagram: it has no ports of its own.
  bool fragment = false;

  // Nothing for a packet that is not a usable IPv4 datagram. The checksum, the
  // total-length field and options are deliberately not examined.
  static std::optional<PacketMetadata> parse(std::span<const std::uint8_t> packet) noexcept;

  // A UDP datagram, not a fragment, that carries its whole 8-byte header.
  bool hasUDPHeader() const noexcept {
    return protocolNumber == udp && transportLength >= 8 && !fragment;
  }

  // A TCP segment that ends its flow (FIN or RST).
  bool endsFlow() const noexcept {
    return protocolNumber == tcp && (tcpFlags & (tcpFin | tcpRst)) != 0;
  }

  friend bool operator==(const PacketMetadata&, const PacketMetadata&) = default;
};

namespace detail {

inline std::uint16_t readU16(const std::uint8_t* p) noexcept {
  return boost::endian::load_big_u16(p);
}

inline std::uint32_t readU32(const std::uint8_t* p) noexcept {
  return boost::endian::load_big_u32(p);
}

// The murmur3 finaliser: cheap, and every input bit reaches every output bit.
constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

}  // namespace detail

inline std::optional<PacketMetadata> PacketMetadata::parse(
    std::span<const std::uint8_t> packet) noexcept {
  const std::size_t length = packet.size();
  if (length < 20) return std::nullopt;
  const std::uint8_t* p = packet.data();
  if ((p[0] >> 4) != 4) return std::nullopt;
  const std::size_t headerLength = std::size_t{p[0] & 0x0fU} * 4;
  if (headerLength < 20 || length < headerLength) return std::nullopt;

  PacketMetadata metadata;
  PacketFlowKey& key = metadata.flowKey;
  key.source = detail::readU32(p + 12);
  key.destination = detail::readU32(p + 16);
  key.proto = p[9];
  metadata.destination = key.destination;
  metadata.protocolNumber = key.proto;
  metadata.transportOffset = static_cast<std::uint8_t>(headerLength);
  metadata.transportLength = static_cast<std::uint32_t>(length - headerLength);

  // More-fragments flag or any offset bit: only the first fragment would carry
  // ports, and keying it differently from the rest would split the datagram.
  metadata.fragment = p[7] != 0 || (p[6] & 0x3fU) != 0;
  if (metadata.fragment) return metadata;

  const std::uint8_t* transport = p + headerLength;
  const std::size_t available = length - headerLength;
  switch (key.proto) {
    case icmp:
      if (available >= 6) key.sourcePort = detail::readU16(transport + 4);
      break;
    case tcp:
      if (available >= 20) metadata.tcpFlags = transport[13];
      [[fallthrough]];
    case udp:
      if (available >= 4) {
        key.sourcePort = detail::readU16(transport);
        key.destinationPort = detail::readU16(transport + 2);
      }
      break;
    default: break;
  }
  return metadata;
}

}  // namespace flowgate

template <>
struct std::hash<flowgate::PacketFlowKey> {
  std::size_t operator()(const flowgate::PacketFlowKey& key) const noexcept {
    const std::uint64_t addresses = (std::uint64_t{key.source} << 32) | key.destination;
    const std::uint64_t rest = (std::uint64_t{key.sourcePort} << 24) |
                               (std::uint64_t{key.destinationPort} << 8) | key.proto;
    // The odd multiplier spreads ports and protocol over the word before one
    // finalising round; a second round on them cost more than it bought.
    return static_cast<std::size_t>(
        flowgate::detail::mix64(addresses ^ (rest * 0x9e3779b97f4a7c15ULL)));
  }
};
