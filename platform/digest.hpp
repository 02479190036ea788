#pragma once

// Message digests of downloaded files.

#include <cstdint>
#include <span>
#include <string>

namespace platform {

// SHA-256 as 64 lowercase hexadecimal digits.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace platform
