#include "testbed/relay/packet_rules.hpp"
#include "platform/internet_checksum.hpp"

#include <algorithm>
#include <cstring>

#include <boost/endian/conversion.hpp>

namespace testbed::packet {

namespace {

std::uint16_t read16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return boost::endian::load_big_u16(&bytes[at]);
}

std::uint32_t read32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return boost::endian::load_big_u32(&bytes[at]);
}

void write16(std::uint8_t* at, std::uint16_t value) { boost::endian::store_big_u16(at, value); }

void write32(std::uint8_t* at, std::uint32_t value) { boost::endian::store_big_u32(at, value); }

// The header length when `packet` is an unfragmented IPv4 packet whose header
// fits it and whose Total Length is its size.
std::optional<std::size_t> plainHeaderLength(std::span<const std::uint8_t> packet) {
  if (packet.size() < 20 || (packet[0] >> 4) != 4) return std::nullopt;
  std::size_t headerLength = (packet[0] & 0x0f) * 4u;
  if (headerLength < 20 || headerLength > packet.size() || read16(packet, 2) != packet.size()) {
    return std::nullopt;
  }
  if ((read16(packet, 6) & 0x3fff) != 0) return std::nullopt;  // MF or an offset
  return headerLength;
}

std::uint32_t pseudoHeaderSum(std::uint32_t source, std::uint32_t destination,
                              std::uint8_t protocol, std::size_t length) {
  return (source >> 16) + (source & 0xffff) + (destination >> 16) + (destination & 0xffff) +
         protocol + static_cast<std::uint32_t>(length);
}

void finishIPHeader(std::uint8_t* header, std::size_t headerLength) {
  header[8] = 64;
  write16(header + 10, 0);
  write16(header + 10, internetChecksum({header, headerLength}));
}

void swapAddresses(std::uint8_t* header) {
  std::uint8_t source[4];
  std::memcpy(source, header + 12, 4);
  std::memmove(header + 12, header + 16, 4);
  std::memcpy(header + 16, source, 4);
}

void setUDPChecksum(std::uint8_t* udp, std::size_t length, std::uint32_t source,
                    std::uint32_t destination) {
  write16(udp + 6, 0);
  auto checksum =
      internetChecksum({udp, length}, pseudoHeaderSum(source, destination, udpProtocol, length));
  write16(udp + 6, checksum == 0 ? 0xffff : checksum);
}

}  // namespace

std::uint32_t sourceAddress(std::span<const std::uint8_t> packet) { return read32(packet, 12); }

std::uint32_t destinationAddress(std::span<const std::uint8_t> packet) {
  return read32(packet, 16);
}

std::uint16_t internetChecksum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
  return static_cast<std::uint16_t>(~platform::checksumFold(platform::checksumAdd(bytes, sum)));
}

std::optional<UDPDatagram> udpDatagram(std::span<const std::uint8_t> packet) {
  auto headerLength = plainHeaderLength(packet);
  if (!headerLength || packet[9] != udpProtocol || packet.size() - *headerLength < 8) {
    return std::nullopt;
  }
  auto udp = packet.subspan(*headerLength);
  std::size_t length = read16(udp, 4);
  if (length < 8 || length > udp.size()) return std::nullopt;
  return UDPDatagram{sourceAddress(packet), destinationAddress(packet), read16(udp, 0),
                     read16(udp, 2), udp.subspan(8, length - 8)};
}

void appendUDPPacket(std::vector<std::uint8_t>& out, std::uint32_t source, std::uint16_t sourcePort,
                     std::uint32_t destination, std::uint16_t destinationPort,
                     std::span<const std::uint8_t> payload) {
  auto at = out.size();
  std::size_t udpLength = 8 + payload.size();
  out.resize(at + 20 + udpLength);
  auto* header = out.data() + at;
  std::memset(header, 0, 28);
  header[0] = 0x45;
  write16(header + 2, static_cast<std::uint16_t>(20 + udpLength));
  header[9] = udpProtocol;
  write32(header + 12, source);
  write32(header + 16, destination);
  auto* udp = header + 20;
  write16(udp, sourcePort);
  write16(udp + 2, destinationPort);
  write16(udp + 4, static_cast<std::uint16_t>(udpLength));
  std::copy(payload.begin(), payload.end(), udp + 8);
  setUDPChecksum(udp, udpLength, source, destination);
  finishIPHeader(header, 20);
}

bool appendEchoReply(std::span<const std::uint8_t> packet, std::vector<std::uint8_t>& out) {
  auto headerLength = plainHeaderLength(packet);
  if (!headerLength || packet.size() - *headerLength < 8) return false;
  auto protocol = packet[9];
  auto body = packet.subspan(*headerLength);
  std::size_t udpLength = 0;
  if (protocol == icmpProtocol) {
    if (body[0] != 8 || body[1] != 0) return false;  // echo request
  } else if (protocol == udpProtocol) {
    udpLength = read16(body, 4);
    if (udpLength < 8 || udpLength > body.size()) return false;
  } else {
    return false;
  }

  auto at = out.size();
  out.insert(out.end(), packet.begin(), packet.end());
  auto* header = out.data() + at;
  auto* transport = header + *headerLength;
  swapAddresses(header);
  if (protocol == icmpProtocol) {
    transport[0] = 0;  // echo reply
    write16(transport + 2, 0);
    write16(transport + 2, internetChecksum({transport, body.size()}));
  } else {
    std::uint8_t port[2];
    std::memcpy(port, transport, 2);
    std::memmove(transport, transport + 2, 2);
    std::memcpy(transport + 2, port, 2);
    setUDPChecksum(transport, udpLength, read32({header, 20}, 12), read32({header, 20}, 16));
  }
  finishIPHeader(header, *headerLength);
  return true;
}

}  // namespace testbed::packet
