#pragma once

// Local facts the tunnel authorization carries: the directly connected IPv4
// networks of this computer and the control server's addresses.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veskar {

// One entry of the interface address list, as getifaddrs reports it.
struct InterfaceAddress {
  std::string name;
  unsigned flags = 0;  // IFF_*
  // Host order; absent when the entry has no address or one of another family.
  std::optional<std::uint32_t> ipv4Address;
  // Host order; absent when the entry has no netmask.
  std::optional<std::uint32_t> netmask;
};

// The system's list; empty when it cannot be read.
std::vector<InterfaceAddress> interfaceAddresses();

// The networks of interfaces that are up, neither loopback nor point-to-point,
// with an IPv4 address and a non-zero contiguous netmask, as "a.b.c.d/prefix",
// without duplicates, in ascending text order.
std::vector<std::string> localRoutes(std::span<const InterfaceAddress> interfaces);
std::vector<std::string> localRoutes();

// The four bytes of a host-order address, most significant first.
std::string ipv4String(std::uint32_t address);

// The numeric IPv4 addresses of `host`, distinct and in ascending text order;
// empty when it does not resolve. Blocks while the name is looked up.
std::vector<std::string> resolveIPv4(const std::string& host);

}  // namespace veskar
