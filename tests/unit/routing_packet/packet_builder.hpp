#pragma once

// Builds raw IPv4 datagrams for the packet tests.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace flowgate::test {

using Bytes = std::vector<std::uint8_t>;

inline void putU16(Bytes& bytes, std::size_t at, std::uint32_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value);
}

struct Datagram {
  std::uint8_t protocol = 17;
  std::uint8_t headerWords = 5;
  std::uint8_t version = 4;
  std::uint16_t fragmentField = 0;  // flags and fragment offset, bytes 6 and 7
  Bytes payload;

  // Source 192.0.2.1, destination 203.0.113.7.
  Bytes bytes() const {
    // A header announcing fewer than 20 bytes still gets room for the fixed fields.
    Bytes out(std::max<std::size_t>(20, std::size_t{headerWords} * 4), 0);
    out[0] = static_cast<std::uint8_t>((version << 4) | (headerWords & 0x0f));
    putU16(out, 2, static_cast<std::uint32_t>(out.size() + payload.size()));
    putU16(out, 6, fragmentField);
    out[8] = 64;
    out[9] = protocol;
    const std::uint8_t addresses[] = {192, 0, 2, 1, 203, 0, 113, 7};
    std::copy(std::begin(addresses), std::end(addresses), out.begin() + 12);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }
};

inline Bytes udpHeader(std::uint16_t sourcePort, std::uint16_t destinationPort) {
  Bytes header(8, 0);
  putU16(header, 0, sourcePort);
  putU16(header, 2, destinationPort);
  putU16(header, 4, 8);
  return header;
}

inline Bytes tcpHeader(std::uint16_t sourcePort, std::uint16_t destinationPort,
                       std::uint8_t flags) {
  Bytes header(20, 0);
  putU16(header, 0, sourcePort);
  putU16(header, 2, destinationPort);
  header[12] = 5 << 4;
  header[13] = flags;
  return header;
}

inline Bytes icmpEcho(std::uint16_t identifier) {
  Bytes message{8, 0, 0, 0, 0, 0, 0, 1};
  putU16(message, 4, identifier);
  return message;
}

}  // namespace flowgate::test
