#pragma once

// Base64 in its two alphabets. Decoding is strict: standard Base64 requires its
// padding, base64url takes none, and neither accepts whitespace, stray
// characters or non-zero bits left over in the last character.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testbed {

std::string encodeBase64(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

std::string encodeBase64Url(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> decodeBase64Url(std::string_view text);

}  // namespace testbed
