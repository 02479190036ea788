#pragma once

// The numbers that make the tunnel's routing ours: a table of our own, the rule
// that sends every packet without the daemon's mark into it, and the protocol
// tag on each route and rule, by which a later start finds what a crashed one
// left behind.

#include "platform/connector.hpp"

#include <cstdint>

namespace platform {

inline constexpr std::uint32_t kRoutingTable = 30309;
inline constexpr std::uint8_t kRouteProtocol = 118;
// Before the main table's rule (32766), after the local table's (0).
inline constexpr std::uint32_t kRulePriority = 31765;

}  // namespace platform
