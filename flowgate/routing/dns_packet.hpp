#pragma once

// The IPv4/UDP and DNS message pieces the DNS proxy reads and writes. DNS
// messages follow RFC 1035: a 12-byte header (ID, flags, QDCOUNT, ANCOUNT,
// NSCOUNT, ARCOUNT, all big-endian) followed by the sections. Every reader
// checks its bounds: the bytes come from local applications and from resolvers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace flowgate::dns {

inline constexpr std::size_t headerSize = 12;
inline constexpr std::uint16_t typeA = 1;
// The largest UDP payload an IPv4 packet can carry (65535 - 20 - 8).
inline constexpr std::size_t maxPayloadSize = 65507;

// An IPv4/UDP packet's addresses, ports and payload. The payload is a view into
// the parsed packet.
struct UDPDatagram {
  std::uint32_t sourceIP = 0;
  std::uint32_t destinationIP = 0;
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  std::span<const std::uint8_t> payload;
};

// Nothing unless the bytes are an IPv4 packet of protocol 17 holding its header
// (options skipped) and the whole UDP length. The IP total length, fragment
// fields and checksums are not checked.
std::optional<UDPDatagram> udp(std::span<const std::uint8_t> packet);

// An IPv4/UDP packet (20-byte header, TTL 64) with both checksums. Nothing when
// the payload does not fit an IPv4 packet (more than maxPayloadSize bytes).
std::optional<std::vector<std::uint8_t>> udpPacket(std::uint32_t sourceIP,
                                                   std::uint32_t destinationIP,
                                                   std::uint16_t sourcePort,
                                                   std::uint16_t destinationPort,
                                                   std::span<const std::uint8_t> payload);

// The Internet checksum (RFC 1071); FFFF for no bytes.
std::uint16_t checksum(std::span<const std::uint8_t> bytes);

// Stores `value` big-endian at `at`, or appends it when `at` is not given.
// `at` + 4 must lie within `buffer`.
void write(std::vector<std::uint8_t>& buffer, std::uint32_t value,
           std::optional<std::size_t> at = std::nullopt);

// `at` + 2 (or + 4) must lie within `bytes`.
inline std::uint16_t readBigEndian16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}
inline std::uint32_t readBigEndian32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
         (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

// The type of the first question; nothing when the name is compressed, uses a
// reserved label type or runs past the end. QDCOUNT is not consulted.
std::optional<std::uint16_t> questionType(std::span<const std::uint8_t> message);

// The offset just after the name at `at` (a compression pointer ends it);
// nothing when the name runs past the end or has a reserved label type.
std::optional<std::size_t> skipName(std::span<const std::uint8_t> message, std::size_t at);

// The addresses of the answer section's A records (RDLENGTH 4) in order. Stops
// at the first record that does not fit; no addresses when a question does not.
std::vector<std::uint32_t> answers(std::span<const std::uint8_t> message);

// A recursive query (flags 01 00) with one question of class IN for `name`
// (one trailing dot allowed). Nothing when a label is empty or longer than 63
// bytes, or the encoded name longer than 255.
std::optional<std::vector<std::uint8_t>> query(std::uint16_t id, std::string_view name,
                                               std::uint16_t type);

// The query turned into a successful answer with no records (flags 81 80,
// ANCOUNT, NSCOUNT and ARCOUNT 0), the question kept. Shorter than a header:
// returned unchanged.
std::vector<std::uint8_t> emptyAnswer(std::span<const std::uint8_t> query);
// The same with response code 2 (server failure, flags 81 82): the client's
// resolver may ask again or elsewhere at once.
std::vector<std::uint8_t> serverFailure(std::span<const std::uint8_t> query);

}  // namespace flowgate::dns
