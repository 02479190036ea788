#pragma once

// IPv4 packets for decoder tests: only the bytes the stream cutter reads matter.

#include <cstdint>
#include <vector>

inline std::vector<std::uint8_t> ipv4Packet(std::size_t totalLength, std::uint8_t fill = 0xab,
                                            std::uint8_t headerWords = 5) {
  std::vector<std::uint8_t> p(totalLength, fill);
  p[0] = static_cast<std::uint8_t>(0x40 | headerWords);
  p[2] = static_cast<std::uint8_t>(totalLength >> 8);
  p[3] = static_cast<std::uint8_t>(totalLength);
  return p;
}
