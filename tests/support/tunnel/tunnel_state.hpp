#pragma once

// What of a tunnel's state is in the lab's client namespace: our rules and
// routes (IPv4 and IPv6, by table and by protocol tag), TUN devices, the
// nftables table, and a resolver file that differs from the lab's. Empty when
// nothing is.

#include <string>

namespace testsupport {

inline constexpr const char* kLabResolvConf = "nameserver 198.51.100.53\n";

std::string tunnelState(const std::string& tunName);

// The client namespace's rules, routes of every table and resolver file, to
// compare before and after.
std::string routingSnapshot();

}  // namespace testsupport
