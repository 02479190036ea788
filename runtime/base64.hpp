#pragma once

// Base64 in the two alphabets we meet: standard (with "=" padding) and
// base64url (no padding). Decoding is strict: no whitespace or other
// characters, and no non-zero bits left over in the last character.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace runtime::base64 {

std::string encode(std::span<const std::uint8_t> bytes);
// Nothing for text outside the alphabet, a length not a multiple of 4, or
// padding anywhere but at the end.
std::optional<std::vector<std::uint8_t>> decode(std::string_view text);

std::string encodeURL(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> decodeURL(std::string_view text);

}  // namespace runtime::base64
