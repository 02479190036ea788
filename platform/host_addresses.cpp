#include "platform/host_addresses.hpp"

#include "runtime/error.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <memory>

namespace platform {

std::vector<std::uint32_t> hostIPv4Addresses(std::string_view except) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    throw runtime::SystemError(runtime::ErrorCode(errno, boost::system::system_category()),
                               "getifaddrs");
  }
  std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(list, &::freeifaddrs);
  std::vector<std::uint32_t> addresses;
  for (auto* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!except.empty() && entry->ifa_name == except) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    addresses.push_back(ntohl(address->sin_addr.s_addr));
  }
  return addresses;
}

}  // namespace platform
