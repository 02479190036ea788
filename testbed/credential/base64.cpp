#include "testbed/credential/base64.hpp"

#include <array>

namespace testbed {

namespace {

constexpr std::string_view standardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view urlAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::span<const std::uint8_t> bytes, std::string_view alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(alphabet[(v >> shift) & 63]);
  }
  auto rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    if (rest == 2) out.push_back(alphabet[(v >> 6) & 63]);
    if (pad) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view text, std::string_view alphabet,
                                                bool padded) {
  std::array<int, 256> values;
  values.fill(-1);
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    values[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
  }
  if (padded) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
      ++padding;
    }
    text.remove_suffix(padding);
  }
  if (text.size() % 4 == 1) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (char c : text) {
    int v = values[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;
    accumulator = (accumulator << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(accumulator >> bits));
    }
  }
  // The bits below the last whole byte must be zero, so each byte string has
  // exactly one encoding.
  if (bits > 0 && (accumulator & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace

std::string encodeBase64(std::span<const std::uint8_t> bytes) {
  return encode(bytes, standardAlphabet, true);
}

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text) {
  return decode(text, standardAlphabet, true);
}

std::string encodeBase64Url(std::span<const std::uint8_t> bytes) {
  return encode(bytes, urlAlphabet, false);
}

std::optional<std::vector<std::uint8_t>> decodeBase64Url(std::string_view text) {
  return decode(text, urlAlphabet, false);
}

}  // namespace testbed
