#pragma once

// The Internet checksum (RFC 1071) in pieces: sums of 16-bit big-endian words
// that can be added together before the final fold, as a pseudo-header and the
// segment it covers are.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace platform {

// Adds the bytes, taken as big-endian 16-bit words (an odd last byte padded
// with zero), to `sum`. The bytes must start at an even offset of what the
// checksum covers.
inline std::uint64_t checksumAdd(std::span<const std::uint8_t> bytes, std::uint64_t sum = 0) {
  // Native 32-bit words into a wide accumulator, swapped once at the end: the
  // one's complement sum does not care which byte of a word is summed first.
  std::uint64_t native = 0;
  std::size_t i = 0;
  for (; i + 4 <= bytes.size(); i += 4) {
    std::uint32_t word;
    std::memcpy(&word, bytes.data() + i, 4);
    native += word;
  }
  if (i + 2 <= bytes.size()) {
    std::uint16_t half;
    std::memcpy(&half, bytes.data() + i, 2);
    native += half;
    i += 2;
  }
  if (i < bytes.size()) {
    const std::uint8_t last[2] = {bytes[i], 0};
    std::uint16_t half;
    std::memcpy(&half, last, 2);
    native += half;
  }
  while (native >> 16) native = (native & 0xffff) + (native >> 16);
  auto folded = static_cast<std::uint16_t>(native);
  if constexpr (std::endian::native == std::endian::little) {
    folded = static_cast<std::uint16_t>((folded >> 8) | (folded << 8));
  }
  return sum + folded;
}

// The sum folded to 16 bits (not complemented).
inline std::uint16_t checksumFold(std::uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

// The IPv4 pseudo-header of a TCP or UDP segment of `length` bytes.
inline std::uint64_t pseudoHeaderSum(std::span<const std::uint8_t> ipHeader, std::uint8_t protocol,
                                     std::size_t length) {
  return checksumAdd(ipHeader.subspan(12, 8)) + protocol + length;
}

inline std::uint16_t readBig16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}
inline void writeBig16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

}  // namespace platform
