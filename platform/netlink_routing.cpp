#include "platform/netlink_routing.hpp"

#include "platform/policy_routing.hpp"

#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/fib_rules.h>
#include <linux/if.h>
#include <linux/ip.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

[[noreturn]] void invalid(const std::string& what) {
  throw boost::system::system_error(EINVAL, boost::system::system_category(), what);
}

std::uint32_t addressValue(const std::string& text, const char* what) {
  auto value = runtime::ipv4::ipv4Value(text);
  if (!value) invalid(std::string(what) + " " + text);
  return *value;
}

// `what` names the address or route the mask belongs to.
unsigned prefixLengthOf(const std::string& maskText, const std::string& what) {
  auto mask = runtime::ipv4::ipv4Value(maskText);
  auto length = mask ? static_cast<unsigned>(std::popcount(*mask)) : 0;
  if (!mask || runtime::ipv4::prefixMask(length) != *mask) {
    invalid(what + ": invalid mask " + maskText);
  }
  return length;
}

std::string cidrText(std::uint32_t network, unsigned prefixLength) {
  return runtime::ipv4::dottedQuad(network) + "/" + std::to_string(prefixLength);
}

// Beside each route through the device, at the lowest preference: when the
// device's route goes (link down or deleted, process gone while the rule
// stays), its destinations are refused instead of falling through to the main
// table in clear.
constexpr std::uint32_t kFallbackMetric = 0xffffffff;

// Deletes the first route of our table with this destination (of this type,
// when one is given).
void putRouteRemoval(NetlinkBatch& batch, std::uint32_t network, unsigned prefixLength,
                     std::uint8_t type = RTN_UNSPEC) {
  auto* message = batch.begin(RTM_DELROUTE, 0);
  auto* route = putHeader<rtmsg>(message);
  route->rtm_family = AF_INET;
  route->rtm_type = type;
  route->rtm_dst_len = static_cast<std::uint8_t>(prefixLength);
  route->rtm_scope = RT_SCOPE_NOWHERE;
  mnl_attr_put_u32(message, RTA_TABLE, kRoutingTable);
  if (prefixLength > 0) mnl_attr_put_u32(message, RTA_DST, htonl(network));
  batch.end(message);
}

}  // namespace

int NetlinkRouting::linkIndex(const std::string& name) {
  NetlinkBatch batch;
  auto* message = batch.begin(RTM_GETLINK, 0);
  auto* link = putHeader<ifinfomsg>(message);
  link->ifi_family = AF_UNSPEC;
  batch.end(message);
  int index = 0;
  // Link dumps filter by nothing useful here; the name picks the link.
  socket_.dump(batch, [&](const nlmsghdr* answer) {
    if (answer->nlmsg_type != RTM_NEWLINK) return;
    const auto* info = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(answer));
    forEachAttribute<ifinfomsg>(answer, [&](const nlattr* attribute) {
      if (mnl_attr_get_type(attribute) == IFLA_IFNAME && name == mnl_attr_get_str(attribute)) {
        index = info->ifi_index;
      }
    });
  });
  if (index == 0) {
    throw boost::system::system_error(ENODEV, boost::system::system_category(), "link " + name);
  }
  return index;
}

void NetlinkRouting::configureInterface(int linkIndex, const IPv4Settings& settings,
                                        std::optional<int> mtu) {
  std::vector<std::pair<std::uint32_t, unsigned>> wanted;
  for (std::size_t i = 0; i < settings.addresses.size(); ++i) {
    auto address = addressValue(settings.addresses[i], "address");
    unsigned length =
        i < settings.subnetMasks.size()
            ? prefixLengthOf(settings.subnetMasks[i], "address " + settings.addresses[i])
            : 32;
    wanted.emplace_back(address, length);
  }

  NetlinkBatch batch;
  std::vector<std::string> names;
  auto* message = batch.begin(RTM_NEWLINK, 0);
  auto* link = putHeader<ifinfomsg>(message);
  link->ifi_family = AF_UNSPEC;
  link->ifi_index = linkIndex;
  link->ifi_flags = IFF_UP;
  link->ifi_change = IFF_UP;
  if (mtu) mnl_attr_put_u32(message, IFLA_MTU, static_cast<std::uint32_t>(*mtu));
  // Replacing the address adds the new one before the old leaves; without
  // promotion the kernel would drop the new one, as a secondary, with the old,
  // and the device's routes with both.
  auto* familyAttributes = mnl_attr_nest_start(message, IFLA_AF_SPEC);
  auto* inet = mnl_attr_nest_start(message, AF_INET);
  auto* conf = mnl_attr_nest_start(message, IFLA_INET_CONF);
  mnl_attr_put_u32(message, IPV4_DEVCONF_PROMOTE_SECONDARIES, 1);
  mnl_attr_nest_end(message, conf);
  mnl_attr_nest_end(message, inet);
  mnl_attr_nest_end(message, familyAttributes);
  batch.end(message);
  names.push_back("link settings");

  auto putAddress = [&](std::uint16_t type, std::uint16_t flags, std::uint32_t address,
                        unsigned length, int index) {
    auto* request = batch.begin(type, flags);
    auto* info = putHeader<ifaddrmsg>(request);
    info->ifa_family = AF_INET;
    info->ifa_prefixlen = static_cast<std::uint8_t>(length);
    info->ifa_scope = RT_SCOPE_UNIVERSE;
    info->ifa_index = static_cast<std::uint32_t>(index);
    mnl_attr_put_u32(request, IFA_LOCAL, htonl(address));
    mnl_attr_put_u32(request, IFA_ADDRESS, htonl(address));
    batch.end(request);
    names.push_back("address " + cidrText(address, length));
  };
  for (auto [address, length] : wanted) {
    putAddress(RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE, address, length, linkIndex);
  }
  std::size_t firstRemoval = batch.size();
  if (addressLink_ == linkIndex) {
    for (auto old : addresses_) {
      if (std::find(wanted.begin(), wanted.end(), old) == wanted.end()) {
        putAddress(RTM_DELADDR, 0, old.first, old.second, linkIndex);
      }
    }
  }
  auto failures = socket_.transact(batch);
  // An address already gone is what a removal wanted.
  std::erase_if(failures, [&](const NetlinkFailure& failure) {
    return failure.index >= firstRemoval && failure.error == EADDRNOTAVAIL;
  });
  throwOnFailure(failures, [&](std::size_t index) { return names[index]; });
  addresses_ = std::move(wanted);
  addressLink_ = linkIndex;
}

NetlinkRouting::Routes NetlinkRouting::desiredRoutes(const IPv4Settings& settings) {
  Routes routes;
  auto add = [&](const IPv4Route& route, Kind kind) {
    auto length = prefixLengthOf(route.subnetMask, "route " + route.destinationAddress);
    // The kernel refuses a destination with host bits set; its network is meant.
    auto network =
        addressValue(route.destinationAddress, "route") & runtime::ipv4::prefixMask(length);
    routes[{network, length}] = kind;
  };
  for (const auto& route : settings.includedRoutes) add(route, Kind::throughDevice);
  // An exclusion wins over an inclusion of the same network.
  for (const auto& route : settings.excludedRoutes) add(route, Kind::thrown);
  return routes;
}

void NetlinkRouting::applyRoutes(int linkIndex, const IPv4Settings& settings) {
  auto desired = desiredRoutes(settings);
  if (!knowsTable_) {
    installed_.clear();
    // What is there is unknown; replacing each desired route is always right.
    for (auto destination : tableContents()) installed_[destination] = Kind::unknown;
    knowsTable_ = true;
  }

  NetlinkBatch additions;
  std::vector<Routes::value_type> added;
  auto put = [&](const Destination& destination, Kind kind) {
    auto* message = additions.begin(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE);
    auto* route = putHeader<rtmsg>(message);
    route->rtm_family = AF_INET;
    route->rtm_dst_len = static_cast<std::uint8_t>(destination.prefixLength);
    route->rtm_table = RT_TABLE_UNSPEC;
    route->rtm_protocol = kRouteProtocol;
    route->rtm_scope = kind == Kind::throughDevice ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
    route->rtm_type = kind == Kind::thrown        ? RTN_THROW
                      : kind == Kind::unreachable ? RTN_UNREACHABLE
                                                  : RTN_UNICAST;
    mnl_attr_put_u32(message, RTA_TABLE, kRoutingTable);
    // Replacing by metric leaves the device's route of the same destination alone.
    if (kind == Kind::unreachable) mnl_attr_put_u32(message, RTA_PRIORITY, kFallbackMetric);
    if (destination.prefixLength > 0)
      mnl_attr_put_u32(message, RTA_DST, htonl(destination.network));
    if (kind == Kind::throughDevice) {
      mnl_attr_put_u32(message, RTA_OIF, static_cast<std::uint32_t>(linkIndex));
    }
    additions.end(message);
    added.emplace_back(destination, kind);
  };
  for (const auto& [destination, kind] : desired) {
    // Routes through the device go whenever its addresses do; they are few,
    // so they are always sent again.
    auto found = installed_.find(destination);
    if (kind == Kind::thrown && found != installed_.end() && found->second == kind) continue;
    put(destination, kind);
    if (kind == Kind::throughDevice) put(destination, Kind::unreachable);
  }
  auto failures = socket_.transact(additions);
  std::size_t nextFailure = 0;
  for (std::size_t i = 0; i < added.size(); ++i) {
    if (nextFailure < failures.size() && failures[nextFailure].index == i) {
      ++nextFailure;
      continue;
    }
    if (added[i].second != Kind::unreachable) installed_[added[i].first] = added[i].second;
  }
  throwOnFailure(failures, [&](std::size_t index) {
    const auto& [destination, kind] = added[index];
    const char* name = kind == Kind::thrown        ? "excluded"
                       : kind == Kind::unreachable ? "fallback"
                                                   : "included";
    return std::string(name) + " route " + cidrText(destination.network, destination.prefixLength);
  });

  NetlinkBatch removals;
  std::vector<Destination> removed;
  for (const auto& [destination, kind] : installed_) {
    if (desired.contains(destination)) continue;
    putRouteRemoval(removals, destination.network, destination.prefixLength);
    removed.push_back(destination);
    if (kind == Kind::thrown) continue;
    putRouteRemoval(removals, destination.network, destination.prefixLength, RTN_UNREACHABLE);
    removed.push_back(destination);
  }
  failures = socket_.transact(removals);
  std::erase_if(failures, [](const NetlinkFailure& failure) { return failure.error == ESRCH; });
  for (auto destination : removed) installed_.erase(destination);
  throwOnFailure(failures, [&](std::size_t index) {
    return "stale route " + cidrText(removed[index].network, removed[index].prefixLength);
  });

  // Last, so the rule only steers traffic into a complete table.
  installRule();
}

void NetlinkRouting::installRule() { installRuleFor(AF_INET); }

void NetlinkRouting::installRuleFor(std::uint8_t family) {
  NetlinkBatch batch;
  auto* message = batch.begin(RTM_NEWRULE, NLM_F_CREATE | NLM_F_EXCL);
  auto* rule = putHeader<fib_rule_hdr>(message);
  rule->family = family;
  rule->action = FR_ACT_TO_TBL;
  rule->flags = FIB_RULE_INVERT;
  mnl_attr_put_u32(message, FRA_TABLE, kRoutingTable);
  mnl_attr_put_u32(message, FRA_PRIORITY, kRulePriority);
  mnl_attr_put_u32(message, FRA_FWMARK, kRoutingMark);
  mnl_attr_put_u32(message, FRA_FWMASK, 0xffffffff);
  mnl_attr_put_u8(message, FRA_PROTOCOL, kRouteProtocol);
  batch.end(message);
  auto failures = socket_.transact(batch);
  std::erase_if(failures, [](const NetlinkFailure& failure) { return failure.error == EEXIST; });
  throwOnFailure(failures, [](std::size_t) { return std::string("routing rule"); });
}

void NetlinkRouting::installIPv6Guard() {
  NetlinkBatch batch;
  auto putRoute = [&](std::uint8_t type, const in6_addr& destination, unsigned prefixLength) {
    auto* message = batch.begin(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE);
    auto* route = putHeader<rtmsg>(message);
    route->rtm_family = AF_INET6;
    route->rtm_dst_len = static_cast<std::uint8_t>(prefixLength);
    route->rtm_table = RT_TABLE_UNSPEC;
    route->rtm_protocol = kRouteProtocol;
    route->rtm_scope = RT_SCOPE_UNIVERSE;
    route->rtm_type = type;
    mnl_attr_put_u32(message, RTA_TABLE, kRoutingTable);
    if (prefixLength > 0) mnl_attr_put(message, RTA_DST, sizeof destination, &destination);
    batch.end(message);
  };
  in6_addr linkLocal{};
  linkLocal.s6_addr[0] = 0xfe;
  linkLocal.s6_addr[1] = 0x80;
  putRoute(RTN_THROW, linkLocal, 10);
  putRoute(RTN_UNREACHABLE, in6_addr{}, 0);
  auto failures = socket_.transact(batch);
  throwOnFailure(failures, [](std::size_t index) {
    return std::string(index == 0 ? "IPv6 guard link-local route" : "IPv6 guard route");
  });
  // After the table is complete, as for IPv4.
  installRuleFor(AF_INET6);
}

std::vector<NetlinkRouting::Destination> NetlinkRouting::tableContents(bool withFallbacks) {
  NetlinkBatch request;
  auto* message = request.begin(RTM_GETROUTE, 0);
  auto* filter = putHeader<rtmsg>(message);
  filter->rtm_family = AF_INET;
  mnl_attr_put_u32(message, RTA_TABLE, kRoutingTable);
  request.end(message);
  std::vector<Destination> contents;
  socket_.dump(request, [&](const nlmsghdr* answer) {
    if (answer->nlmsg_type != RTM_NEWROUTE) return;
    const auto* route = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(answer));
    std::uint32_t table = route->rtm_table;
    std::uint32_t network = 0;
    forEachAttribute<rtmsg>(answer, [&](const nlattr* attribute) {
      if (mnl_attr_get_type(attribute) == RTA_TABLE) table = mnl_attr_get_u32(attribute);
      if (mnl_attr_get_type(attribute) == RTA_DST) network = ntohl(mnl_attr_get_u32(attribute));
    });
    if (table != kRoutingTable) return;
    if (route->rtm_type == RTN_UNREACHABLE && !withFallbacks) return;
    contents.push_back({network, route->rtm_dst_len});
  });
  return contents;
}

void NetlinkRouting::removeAll() {
  // The rules first: from then on nothing enters the tables being emptied.
  NetlinkBatch rules;
  for (std::uint8_t family : {AF_INET, AF_INET6}) {
    NetlinkBatch request;
    auto* message = request.begin(RTM_GETRULE, 0);
    putHeader<fib_rule_hdr>(message)->family = family;
    request.end(message);
    socket_.dump(request, [&](const nlmsghdr* answer) {
      if (answer->nlmsg_type != RTM_NEWRULE) return;
      bool ours = false;
      forEachAttribute<fib_rule_hdr>(answer, [&](const nlattr* attribute) {
        auto type = mnl_attr_get_type(attribute);
        if (type == FRA_PROTOCOL && mnl_attr_get_u8(attribute) == kRouteProtocol) ours = true;
        if (type == FRA_TABLE && mnl_attr_get_u32(attribute) == kRoutingTable) ours = true;
      });
      if (!ours || answer->nlmsg_len > NetlinkBatch::kMaxMessage) return;
      // The rule as the kernel reported it identifies it for deletion.
      auto* removal = rules.begin(RTM_DELRULE, 0);
      auto flags = removal->nlmsg_flags;
      std::memcpy(removal, answer, answer->nlmsg_len);
      removal->nlmsg_type = RTM_DELRULE;
      removal->nlmsg_flags = flags;
      rules.end(removal);
    });
  }
  auto failures = socket_.transact(rules);
  std::erase_if(failures, [](const NetlinkFailure& failure) { return failure.error == ENOENT; });
  throwOnFailure(failures, [](std::size_t) { return std::string("routing rule removal"); });

  NetlinkBatch routes;
  // Each removal takes one route of its destination, so a device's route and
  // its fallback take two.
  for (auto destination : tableContents(true)) {
    putRouteRemoval(routes, destination.network, destination.prefixLength);
  }
  failures = socket_.transact(routes);
  std::erase_if(failures, [](const NetlinkFailure& failure) { return failure.error == ESRCH; });
  throwOnFailure(failures, [](std::size_t) { return std::string("route removal"); });
  installed_.clear();
  knowsTable_ = true;
  removeIPv6Routes();
}

void NetlinkRouting::removeIPv6Routes() {
  NetlinkBatch request;
  auto* message = request.begin(RTM_GETROUTE, 0);
  putHeader<rtmsg>(message)->rtm_family = AF_INET6;
  mnl_attr_put_u32(message, RTA_TABLE, kRoutingTable);
  request.end(message);
  NetlinkBatch routes;
  socket_.dump(request, [&](const nlmsghdr* answer) {
    if (answer->nlmsg_type != RTM_NEWROUTE) return;
    const auto* route = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(answer));
    std::uint32_t table = route->rtm_table;
    const nlattr* destination = nullptr;
    forEachAttribute<rtmsg>(answer, [&](const nlattr* attribute) {
      if (mnl_attr_get_type(attribute) == RTA_TABLE) table = mnl_attr_get_u32(attribute);
      if (mnl_attr_get_type(attribute) == RTA_DST) destination = attribute;
    });
    if (table != kRoutingTable) return;
    auto* removal = routes.begin(RTM_DELROUTE, 0);
    auto* header = putHeader<rtmsg>(removal);
    header->rtm_family = AF_INET6;
    header->rtm_dst_len = route->rtm_dst_len;
    header->rtm_type = route->rtm_type;
    header->rtm_scope = RT_SCOPE_NOWHERE;
    mnl_attr_put_u32(removal, RTA_TABLE, kRoutingTable);
    if (destination) {
      mnl_attr_put(removal, RTA_DST, mnl_attr_get_payload_len(destination),
                   mnl_attr_get_payload(destination));
    }
    routes.end(removal);
  });
  auto failures = socket_.transact(routes);
  std::erase_if(failures, [](const NetlinkFailure& failure) { return failure.error == ESRCH; });
  throwOnFailure(failures, [](std::size_t) { return std::string("IPv6 route removal"); });
}

}  // namespace platform
