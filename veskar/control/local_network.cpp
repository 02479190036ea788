#include "veskar/control/local_network.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <bit>
#include <set>

namespace veskar {

namespace {

std::optional<std::uint32_t> ipv4Of(const sockaddr* address) {
  if (!address || address->sa_family != AF_INET) return std::nullopt;
  return ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
}

}  // namespace

std::vector<InterfaceAddress> interfaceAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::vector<InterfaceAddress> entries;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    InterfaceAddress address;
    address.name = entry->ifa_name ? entry->ifa_name : "";
    address.flags = entry->ifa_flags;
    address.ipv4Address = ipv4Of(entry->ifa_addr);
    // A netmask is read only beside an IPv4 address; its own family field is
    // not always filled in.
    if (address.ipv4Address && entry->ifa_netmask) {
      address.netmask =
          ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
    }
    entries.push_back(std::move(address));
  }
  ::freeifaddrs(list);
  return entries;
}

std::vector<std::string> localRoutes(std::span<const InterfaceAddress> interfaces) {
  std::set<std::string> routes;
  for (const auto& entry : interfaces) {
    if ((entry.flags & (IFF_UP | IFF_LOOPBACK | IFF_POINTOPOINT)) != IFF_UP) continue;
    if (!entry.ipv4Address || !entry.netmask) continue;
    std::uint32_t mask = *entry.netmask;
    int prefix = std::popcount(mask);
    if (mask == 0 || mask != (0xFFFFFFFFu << (32 - prefix))) continue;
    routes.insert(ipv4String(*entry.ipv4Address & mask) + "/" + std::to_string(prefix));
  }
  return {routes.begin(), routes.end()};
}

std::vector<std::string> localRoutes() { return localRoutes(interfaceAddresses()); }

std::string ipv4String(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::vector<std::string> resolveIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* results = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0) return {};
  std::set<std::string> addresses;
  for (addrinfo* result = results; result; result = result->ai_next) {
    if (!result->ai_addr) continue;
    char text[1025] = {};
    if (::getnameinfo(result->ai_addr, result->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0) {
      continue;
    }
    addresses.insert(text);
  }
  ::freeaddrinfo(results);
  return {addresses.begin(), addresses.end()};
}

}  // namespace veskar
