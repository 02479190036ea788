#pragma once

// DNS messages and IPv4/UDP packets for the tests, written without the code
// under test, and an Internet checksum of their own to check its output.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dns_test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t typeA = 1;
inline constexpr std::uint16_t typeAAAA = 28;
inline constexpr std::uint16_t typeCNAME = 5;

inline void put16(Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

inline std::uint32_t get16(const Bytes& in, std::size_t at) { return (in[at] << 8) | in[at + 1]; }

inline std::uint32_t ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

// "a.example" as length-prefixed labels with the closing zero.
inline Bytes name(std::string_view text) {
  Bytes out;
  while (!text.empty()) {
    auto dot = text.find('.');
    auto label = text.substr(0, dot);
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  }
  out.push_back(0);
  return out;
}

// A recursive query with one question of class IN.
inline Bytes query(std::uint16_t id, std::string_view qname, std::uint16_t type) {
  Bytes out;
  put16(out, id);
  put16(out, 0x0100);
  put16(out, 1);
  put16(out, 0);
  put16(out, 0);
  put16(out, 0);
  auto labels = name(qname);
  out.insert(out.end(), labels.begin(), labels.end());
  put16(out, type);
  put16(out, 1);
  return out;
}

struct Record {
  std::uint16_t type = typeA;
  Bytes data;
};

inline Record a(std::uint32_t address) {
  return {typeA,
          Bytes{static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
                static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)}};
}

// The response to `question` (a query as above): its id and question, flags
// 81 80, and `records` each owned by a pointer to the question's name.
inline Bytes response(const Bytes& question, const std::vector<Record>& records) {
  Bytes out = question;
  out[2] = 0x81;
  out[3] = 0x80;
  out[6] = static_cast<std::uint8_t>(records.size() >> 8);
  out[7] = static_cast<std::uint8_t>(records.size());
  for (const auto& record : records) {
    put16(out, 0xc00c);
    put16(out, record.type);
    put16(out, 1);
    put16(out, 0);
    put16(out, 60);
    put16(out, static_cast<std::uint32_t>(record.data.size()));
    out.insert(out.end(), record.data.begin(), record.data.end());
  }
  return out;
}

// An IPv4 packet (no options, checksums left zero) carrying one UDP datagram.
inline Bytes udpPacket(std::uint32_t source, std::uint32_t destination, std::uint16_t sourcePort,
                       std::uint16_t destinationPort, const Bytes& payload) {
  Bytes out{0x45, 0};
  put16(out, 28 + static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), {0, 0, 0, 0, 64, 17, 0, 0});
  put16(out, source >> 16);
  put16(out, source);
  put16(out, destination >> 16);
  put16(out, destination);
  put16(out, sourcePort);
  put16(out, destinationPort);
  put16(out, 8 + static_cast<std::uint32_t>(payload.size()));
  put16(out, 0);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// The ones' complement sum of 16-bit words, one byte pair at a time, folded at
// the end.
inline std::uint32_t onesComplementSum(const Bytes& bytes, std::uint64_t start = 0) {
  std::uint64_t sum = start;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    sum += std::uint64_t{bytes[i]} * 256 + (i + 1 < bytes.size() ? bytes[i + 1] : 0);
  }
  while (sum > 0xffff) sum = (sum % 65536) + (sum / 65536);
  return static_cast<std::uint32_t>(sum);
}

// Whether an IPv4/UDP packet (20-byte header) carries a correct header
// checksum and a correct, non-zero UDP checksum.
inline bool checksumsValid(const Bytes& packet) {
  if (packet.size() < 28) return false;
  Bytes header(packet.begin(), packet.begin() + 20);
  if (onesComplementSum(header) != 0xffff) return false;
  Bytes datagram(packet.begin() + 20, packet.end());
  if (get16(packet, 26) == 0) return false;
  std::uint64_t pseudo = get16(packet, 12) + get16(packet, 14) + get16(packet, 16) +
                         get16(packet, 18) + 17 + datagram.size();
  return onesComplementSum(datagram, pseudo) == 0xffff;
}

}  // namespace dns_test
