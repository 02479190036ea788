#pragma once

// Builds raw IPv4 datagrams for the packet tests.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace flowgate::test {

struct Datagram {
  std::uint8_t protocol = 17;
  std::uint8_t headerWords = 5;
  std::uint8_t version = 4;
  // Bytes 6 and 7: flags and fragment offset.
  std::uint16_t fragmentField = 0;
  std::uint32_t source = 0xC0000201;       // 192.0.2.1
  std::uint32_t destination = 0xCB007107;  // 203.0.113.7
  std::vector<std::uint8_t> payload;

  std::vector<std::uint8_t> bytes() const {
    // A header announcing fewer than 20 bytes still gets room for the fixed fields.
    std::vector<std::uint8_t> out(std::max<std::size_t>(20, std::size_t{headerWords} * 4), 0);
    out[0] = static_cast<std::uint8_t>((version << 4) | (headerWords & 0x0f));
    const std::size_t total = out.size() + payload.size();
    out[2] = static_cast<std::uint8_t>(total >> 8);
    out[3] = static_cast<std::uint8_t>(total);
    out[6] = static_cast<std::uint8_t>(fragmentField >> 8);
    out[7] = static_cast<std::uint8_t>(fragmentField);
    out[8] = 64;
    out[9] = protocol;
    for (int i = 0; i < 4; ++i) {
      out[12 + i] = static_cast<std::uint8_t>(source >> (24 - 8 * i));
      out[16 + i] = static_cast<std::uint8_t>(destination >> (24 - 8 * i));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }
};

inline std::vector<std::uint8_t> udpHeader(std::uint16_t sourcePort,
                                           std::uint16_t destinationPort) {
  return {static_cast<std::uint8_t>(sourcePort >> 8),
          static_cast<std::uint8_t>(sourcePort),
          static_cast<std::uint8_t>(destinationPort >> 8),
          static_cast<std::uint8_t>(destinationPort),
          0,
          8,
          0,
          0};
}

inline std::vector<std::uint8_t> tcpHeader(std::uint16_t sourcePort, std::uint16_t destinationPort,
                                           std::uint8_t flags) {
  std::vector<std::uint8_t> header(20, 0);
  header[0] = static_cast<std::uint8_t>(sourcePort >> 8);
  header[1] = static_cast<std::uint8_t>(sourcePort);
  header[2] = static_cast<std::uint8_t>(destinationPort >> 8);
  header[3] = static_cast<std::uint8_t>(destinationPort);
  header[12] = 5 << 4;
  header[13] = flags;
  return header;
}

inline std::vector<std::uint8_t> icmpEcho(std::uint16_t identifier) {
  return {
      8, 0, 0, 0, static_cast<std::uint8_t>(identifier >> 8), static_cast<std::uint8_t>(identifier),
      0, 1};
}

}  // namespace flowgate::test
