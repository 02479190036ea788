#include "runtime/base64.hpp"

#include <array>

namespace runtime::base64 {

namespace {

constexpr std::string_view kStandard =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kURL =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::array<std::int8_t, 256> reverse(std::string_view alphabet) {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  }
  return table;
}

std::string encodeWith(std::span<const std::uint8_t> bytes, std::string_view alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(v >> shift) & 63];
  }
  auto rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    if (rest == 2) out += alphabet[(v >> 6) & 63];
    if (pad) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

// Decodes unpadded symbols; a final group of 2 or 3 symbols carries 1 or 2 bytes.
std::optional<std::vector<std::uint8_t>> decodeSymbols(std::string_view text,
                                                       const std::array<std::int8_t, 256>& table) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    auto v = table[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(buffer >> bits));
    }
  }
  // Leftover bits of the last symbol must be zero: one text per byte string.
  if ((buffer & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace

std::string encode(std::span<const std::uint8_t> bytes) {
  return encodeWith(bytes, kStandard, true);
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view text) {
  static const auto table = reverse(kStandard);
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  return decodeSymbols(text.substr(0, text.size() - padding), table);
}

std::string encodeURL(std::span<const std::uint8_t> bytes) {
  return encodeWith(bytes, kURL, false);
}

std::optional<std::vector<std::uint8_t>> decodeURL(std::string_view text) {
  static const auto table = reverse(kURL);
  return decodeSymbols(text, table);
}

}  // namespace runtime::base64
