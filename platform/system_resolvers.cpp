#include "platform/system_resolvers.hpp"

#include "platform/netlink_socket.hpp"
#include "platform/resolved_client.hpp"
#include "runtime/ipv4.hpp"

#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <sstream>

namespace platform {

namespace {

std::vector<std::string> dottedQuads(const std::vector<std::string>& servers) {
  std::vector<std::string> kept;
  for (const auto& server : servers) {
    if (runtime::ipv4::ipv4Value(server)) kept.push_back(server);
  }
  return kept;
}

// The link of the main table's preferred default route.
std::optional<int> defaultRouteLink() {
  NetlinkSocket socket;
  // The kernel answers at once; a stuck dump fails the lookup instead.
  timeval limit{2, 0};
  ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  NetlinkBatch request;
  auto* message = request.begin(RTM_GETROUTE, 0);
  putHeader<rtmsg>(message)->rtm_family = AF_INET;
  mnl_attr_put_u32(message, RTA_TABLE, RT_TABLE_MAIN);
  request.end(message);
  std::optional<int> link;
  std::uint32_t bestMetric = UINT32_MAX;
  socket.dump(request, [&](const nlmsghdr* answer) {
    if (answer->nlmsg_type != RTM_NEWROUTE) return;
    const auto* route = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(answer));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
    std::uint32_t table = route->rtm_table, metric = 0;
    int oif = 0;
    forEachAttribute<rtmsg>(answer, [&](const nlattr* attribute) {
      switch (mnl_attr_get_type(attribute)) {
        case RTA_TABLE: table = mnl_attr_get_u32(attribute); break;
        case RTA_PRIORITY: metric = mnl_attr_get_u32(attribute); break;
        case RTA_OIF: oif = static_cast<int>(mnl_attr_get_u32(attribute)); break;
        default: break;
      }
    });
    if (table == RT_TABLE_MAIN && oif != 0 && (!link || metric < bestMetric)) {
      link = oif;
      bestMetric = metric;
    }
  });
  return link;
}

}  // namespace

std::vector<std::string> chooseResolvers(const std::vector<std::string>& defaultLinkServers,
                                         const std::vector<std::string>& globalServers,
                                         const std::vector<std::string>& fallback) {
  if (auto primary = dottedQuads(defaultLinkServers); !primary.empty()) return primary;
  if (auto global = dottedQuads(globalServers); !global.empty()) return global;
  return fallback;
}

std::vector<std::string> resolvConfServers(const std::string& content) {
  std::vector<std::string> servers;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (!(words >> keyword >> address) || keyword != "nameserver") continue;
    // A local stub (127.0.0.53 and the like) forwards to the servers we want.
    if (auto value = runtime::ipv4::ipv4Value(address); value && (*value >> 24) == 127) continue;
    servers.push_back(address);
  }
  return servers;
}

LinuxSystemResolvers::LinuxSystemResolvers(Options options) : options_(std::move(options)) {
  if (!options_.worker) options_.worker = std::make_shared<BlockingWorker>();
}

runtime::Task<std::vector<std::string>> LinuxSystemResolvers::systemDNSResolvers(
    std::vector<std::string> fallback) {
  // The worker lives as long as this coroutine holds it, whoever else lets go.
  auto worker = options_.worker;
  auto looking = worker->run<std::vector<std::string>>(
      [this, fallback = std::move(fallback)] { return lookupNow(fallback); });
  co_return co_await std::move(looking);
}

std::vector<std::string> LinuxSystemResolvers::lookupNow(const std::vector<std::string>& fallback) {
  std::vector<std::string> linkServers, globalServers;
  try {
    if (auto resolved = ResolvedClient::connect(options_.resolvedBus)) {
      auto link = defaultRouteLink();
      for (const auto& server : resolved->servers()) {
        if (server.linkIndex == 0) {
          globalServers.push_back(server.address);
        } else if (link && server.linkIndex == *link) {
          linkServers.push_back(server.address);
        }
      }
    }
  } catch (const std::exception&) {
    // A resolved that does not answer is no source; the file still is.
  }
  if (dottedQuads(globalServers).empty()) {
    if (auto content = ResolvConfDNS::originalContent(options_.resolvConf)) {
      globalServers = resolvConfServers(*content);
    }
  }
  {
    std::lock_guard lock(mutex_);
    auto isExcluded = [&](const std::string& server) {
      return std::ranges::find(excluded_, server) != excluded_.end();
    };
    std::erase_if(linkServers, isExcluded);
    std::erase_if(globalServers, isExcluded);
  }
  return chooseResolvers(linkServers, globalServers, fallback);
}

void LinuxSystemResolvers::excludeServers(std::vector<std::string> servers) {
  std::lock_guard lock(mutex_);
  excluded_ = std::move(servers);
}

}  // namespace platform
