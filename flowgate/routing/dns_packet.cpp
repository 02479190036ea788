#include "flowgate/routing/dns_packet.hpp"
#include "platform/internet_checksum.hpp"

#include <algorithm>
#include <iterator>

namespace flowgate::dns {

namespace {

constexpr std::uint8_t protocolUDP = 17;
constexpr std::size_t ipHeaderSize = 20;
constexpr std::size_t udpHeaderSize = 8;

void put16(std::vector<std::uint8_t>& buffer, std::size_t at, std::uint16_t value) {
  buffer[at] = static_cast<std::uint8_t>(value >> 8);
  buffer[at + 1] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::optional<UDPDatagram> udp(std::span<const std::uint8_t> packet) {
  if (packet.size() < ipHeaderSize + udpHeaderSize) return std::nullopt;
  if ((packet[0] >> 4) != 4 || packet[9] != protocolUDP) return std::nullopt;
  const std::size_t header = std::size_t{packet[0] & 0x0fU} * 4;
  if (header < ipHeaderSize || packet.size() < header + udpHeaderSize) return std::nullopt;
  const std::size_t length = readBigEndian16(packet, header + 4);
  if (length < udpHeaderSize || packet.size() < header + length) return std::nullopt;
  return UDPDatagram{
      .sourceIP = readBigEndian32(packet, 12),
      .destinationIP = readBigEndian32(packet, 16),
      .sourcePort = readBigEndian16(packet, header),
      .destinationPort = readBigEndian16(packet, header + 2),
      .payload = packet.subspan(header + udpHeaderSize, length - udpHeaderSize),
  };
}

std::optional<std::vector<std::uint8_t>> udpPacket(std::uint32_t sourceIP,
                                                   std::uint32_t destinationIP,
                                                   std::uint16_t sourcePort,
                                                   std::uint16_t destinationPort,
                                                   std::span<const std::uint8_t> payload) {
  // Larger payloads would wrap the 16-bit length fields.
  if (payload.size() > maxPayloadSize) return std::nullopt;
  const std::size_t total = ipHeaderSize + udpHeaderSize + payload.size();
  const auto udpLength = static_cast<std::uint16_t>(udpHeaderSize + payload.size());
  std::vector<std::uint8_t> packet;
  packet.reserve(total);
  packet.insert(packet.end(),
                {0x45, 0, static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(total),
                 0, 0, 0, 0, 64, protocolUDP, 0, 0});
  write(packet, sourceIP);
  write(packet, destinationIP);
  write(packet, (std::uint32_t{sourcePort} << 16) | destinationPort);
  write(packet, std::uint32_t{udpLength} << 16);
  packet.insert(packet.end(), payload.begin(), payload.end());

  put16(packet, 10, checksum(std::span(packet).first(ipHeaderSize)));

  // Pseudo-header: addresses, zero, protocol, UDP length.
  std::uint64_t sum = std::uint64_t{sourceIP >> 16} + (sourceIP & 0xffff) + (destinationIP >> 16) +
                      (destinationIP & 0xffff) + protocolUDP + udpLength;
  sum = platform::checksumAdd(std::span(packet).subspan(ipHeaderSize), sum);
  std::uint16_t udpChecksum = static_cast<std::uint16_t>(~platform::checksumFold(sum));
  // Zero means "no checksum" in UDP (RFC 768).
  put16(packet, 26, udpChecksum == 0 ? 0xffff : udpChecksum);
  return packet;
}

std::uint16_t checksum(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint16_t>(~platform::checksumFold(platform::checksumAdd(bytes)));
}

void write(std::vector<std::uint8_t>& buffer, std::uint32_t value, std::optional<std::size_t> at) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
      static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  if (at) {
    for (std::size_t i = 0; i < 4; ++i) buffer[*at + i] = bytes[i];
  } else {
    buffer.insert(buffer.end(), bytes, bytes + 4);
  }
}

std::optional<std::uint16_t> questionType(std::span<const std::uint8_t> message) {
  std::size_t at = headerSize;
  while (true) {
    if (at >= message.size()) return std::nullopt;
    const std::size_t length = message[at];
    if (length == 0) break;
    if (length > 63) return std::nullopt;
    at += 1 + length;
  }
  ++at;
  if (at + 4 > message.size()) return std::nullopt;
  return readBigEndian16(message, at);
}

std::optional<std::size_t> skipName(std::span<const std::uint8_t> message, std::size_t at) {
  while (true) {
    if (at >= message.size()) return std::nullopt;
    const std::uint8_t length = message[at];
    if ((length & 0xc0) == 0xc0) return at + 2;
    if (length == 0) return at + 1;
    if (length > 63) return std::nullopt;
    at += 1 + std::size_t{length};
    if (at > message.size()) return std::nullopt;
  }
}

std::vector<std::uint32_t> answers(std::span<const std::uint8_t> message) {
  std::vector<std::uint32_t> addresses;
  if (message.size() < headerSize) return addresses;
  const unsigned questions = readBigEndian16(message, 4);
  const unsigned records = readBigEndian16(message, 6);
  std::size_t at = headerSize;
  for (unsigned i = 0; i < questions; ++i) {
    auto end = skipName(message, at);
    if (!end || *end + 4 > message.size()) return addresses;
    at = *end + 4;
  }
  for (unsigned i = 0; i < records; ++i) {
    auto end = skipName(message, at);
    if (!end || *end + 10 > message.size()) break;
    const std::uint16_t type = readBigEndian16(message, *end);
    const std::size_t dataLength = readBigEndian16(message, *end + 8);
    const std::size_t data = *end + 10;
    if (data + dataLength > message.size()) break;
    if (type == typeA && dataLength == 4) {
      // Each further A record takes at least 15 bytes; one allocation for all.
      if (addresses.empty()) {
        addresses.reserve(std::min<std::size_t>(records - i, (message.size() - data) / 15 + 1));
      }
      addresses.push_back(readBigEndian32(message, data));
    }
    at = data + dataLength;
  }
  return addresses;
}

std::optional<std::vector<std::uint8_t>> query(std::uint16_t id, std::string_view name,
                                               std::uint16_t type) {
  constexpr std::size_t maxLabel = 63;
  constexpr std::size_t maxName = 255;
  if (name.ends_with('.')) name.remove_suffix(1);
  if (name.empty() || name.size() + 2 > maxName) return std::nullopt;
  std::vector<std::uint8_t> message{static_cast<std::uint8_t>(id >> 8),
                                    static_cast<std::uint8_t>(id),
                                    0x01,
                                    0x00,
                                    0,
                                    1,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0};
  while (true) {
    const auto dot = name.find('.');
    const auto label = name.substr(0, dot);
    if (label.empty() || label.size() > maxLabel) return std::nullopt;
    message.push_back(static_cast<std::uint8_t>(label.size()));
    message.insert(message.end(), label.begin(), label.end());
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  const std::uint8_t tail[] = {0, static_cast<std::uint8_t>(type >> 8),
                               static_cast<std::uint8_t>(type), 0, 1};
  message.insert(message.end(), std::begin(tail), std::end(tail));
  return message;
}

namespace {

std::vector<std::uint8_t> answerWithoutRecords(std::span<const std::uint8_t> query,
                                               std::uint8_t flags) {
  std::vector<std::uint8_t> answer(query.begin(), query.end());
  if (answer.size() < headerSize) return answer;
  answer[2] = 0x81;
  answer[3] = flags;
  for (std::size_t i = 6; i < headerSize; ++i) answer[i] = 0;
  return answer;
}

}  // namespace

std::vector<std::uint8_t> emptyAnswer(std::span<const std::uint8_t> query) {
  return answerWithoutRecords(query, 0x80);
}

std::vector<std::uint8_t> serverFailure(std::span<const std::uint8_t> query) {
  return answerWithoutRecords(query, 0x82);
}

}  // namespace flowgate::dns
