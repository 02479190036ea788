#include "tests/support/relay/test_packets.hpp"

#include <stdexcept>

namespace testsupport {

namespace {

void put16(Bytes& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v >> 8);
  out[at + 1] = static_cast<std::uint8_t>(v);
}
void put32(Bytes& out, std::size_t at, std::uint32_t v) {
  put16(out, at, static_cast<std::uint16_t>(v >> 16));
  put16(out, at + 2, static_cast<std::uint16_t>(v));
}
std::uint16_t get16(std::span<const std::uint8_t> p, std::size_t at) {
  return static_cast<std::uint16_t>(p[at] << 8 | p[at + 1]);
}
std::uint32_t get32(std::span<const std::uint8_t> p, std::size_t at) {
  return std::uint32_t{get16(p, at)} << 16 | get16(p, at + 2);
}

// The 32-bit running sum of 16-bit words, folded at the end by `fold`.
std::uint32_t sum(std::span<const std::uint8_t> bytes, std::uint32_t start = 0) {
  std::uint32_t total = start;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    total += static_cast<std::uint32_t>(bytes[i] << 8) | (i + 1 < bytes.size() ? bytes[i + 1] : 0u);
  }
  return total;
}
std::uint16_t fold(std::uint32_t total) {
  while (total > 0xffff) total = (total & 0xffff) + (total >> 16);
  return static_cast<std::uint16_t>(~total & 0xffff);
}

Bytes ipHeader(std::uint32_t source, std::uint32_t destination, std::uint8_t protocol,
               std::size_t bodySize) {
  Bytes p(20 + bodySize, 0);
  p[0] = 0x45;
  put16(p, 2, static_cast<std::uint16_t>(p.size()));
  put16(p, 4, 0x1234);
  p[8] = 33;
  p[9] = protocol;
  put32(p, 12, source);
  put32(p, 16, destination);
  put16(p, 10, fold(sum(std::span(p).first(20))));
  return p;
}

std::uint32_t pseudo(std::uint32_t s, std::uint32_t d, std::size_t length) {
  return (s >> 16) + (s & 0xffff) + (d >> 16) + (d & 0xffff) + 17 +
         static_cast<std::uint32_t>(length);
}

}  // namespace

Bytes icmpEchoRequest(std::uint32_t source, std::uint32_t destination, std::uint16_t identifier,
                      std::uint16_t sequence, std::string_view payload) {
  auto p = ipHeader(source, destination, 1, 8 + payload.size());
  p[20] = 8;
  put16(p, 24, identifier);
  put16(p, 26, sequence);
  std::copy(payload.begin(), payload.end(), p.begin() + 28);
  put16(p, 22, fold(sum(std::span(p).subspan(20))));
  return p;
}

Bytes tcpSegment(std::uint32_t source, std::uint16_t sourcePort, std::uint32_t destination,
                 std::uint16_t destinationPort, std::uint8_t flags) {
  auto p = ipHeader(source, destination, 6, 20);
  put16(p, 20, sourcePort);
  put16(p, 22, destinationPort);
  put32(p, 24, 1000);  // sequence number
  p[32] = 5 << 4;      // data offset: 20 bytes
  p[33] = flags;
  put16(p, 34, 65535);  // window
  put16(p, 36, fold(sum(std::span(p).subspan(20), pseudo(source, destination, 20) - 17 + 6)));
  return p;
}

Bytes udpPacket(std::uint32_t source, std::uint16_t sourcePort, std::uint32_t destination,
                std::uint16_t destinationPort, std::span<const std::uint8_t> payload) {
  auto p = ipHeader(source, destination, 17, 8 + payload.size());
  put16(p, 20, sourcePort);
  put16(p, 22, destinationPort);
  put16(p, 24, static_cast<std::uint16_t>(8 + payload.size()));
  std::copy(payload.begin(), payload.end(), p.begin() + 28);
  auto checksum =
      fold(sum(std::span(p).subspan(20), pseudo(source, destination, 8 + payload.size())));
  put16(p, 26, checksum == 0 ? 0xffff : checksum);
  return p;
}

Bytes udpPacket(std::uint32_t source, std::uint16_t sourcePort, std::uint32_t destination,
                std::uint16_t destinationPort, std::string_view payload) {
  return udpPacket(
      source, sourcePort, destination, destinationPort,
      std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
}

Parsed parse(std::span<const std::uint8_t> p) {
  if (p.size() < 28 || (p[0] >> 4) != 4) throw std::invalid_argument("not an IPv4 packet");
  std::size_t hl = (p[0] & 0xf) * 4u;
  Parsed r;
  r.source = get32(p, 12);
  r.destination = get32(p, 16);
  r.protocol = p[9];
  r.headerChecksumOK = fold(sum(p.first(hl))) == 0;
  auto body = p.subspan(hl);
  if (r.protocol == 1) {
    r.icmpType = body[0];
    r.icmpIdentifier = get16(body, 4);
    r.icmpSequence = get16(body, 6);
    r.transportChecksumOK = fold(sum(body)) == 0;
  } else if (r.protocol == 17) {
    r.sourcePort = get16(body, 0);
    r.destinationPort = get16(body, 2);
    r.transportChecksumOK =
        get16(body, 6) == 0 || fold(sum(body, pseudo(r.source, r.destination, body.size()))) == 0;
  }
  r.payload.assign(body.begin() + 8, body.end());
  return r;
}

}  // namespace testsupport
