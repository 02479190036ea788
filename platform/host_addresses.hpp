#pragma once

// The IPv4 addresses this machine (its network namespace) holds on its
// interfaces, most significant octet first.

#include <cstdint>
#include <string_view>
#include <vector>

namespace platform {

// Every interface's but `except`'s; throws runtime::SystemError.
std::vector<std::uint32_t> hostIPv4Addresses(std::string_view except = {});

}  // namespace platform
