#pragma once

// The tunnel's interface settings and policy routing through rtnetlink: address,
// MTU and link state of the device; our table with its routes (a route per
// included network through the device, a `throw` per excluded network, so an
// excluded lookup falls back to the main table); the rule selecting the table.
// Blocking calls; the socket works in the network namespace that was current
// when the object was made.

#include "platform/netlink_socket.hpp"
#include "platform/network_settings.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class NetlinkRouting {
 public:
  NetlinkRouting() = default;

  // The device's index; throws ENODEV when there is none of that name.
  int linkIndex(const std::string& name);

  // Address(es), MTU and link up. Addresses set by an earlier call and missing
  // now are removed.
  void configureInterface(int linkIndex, const IPv4Settings& settings, std::optional<int> mtu);

  // Makes our table hold exactly the settings' routes and installs the rule.
  // New and changed routes go in before stale ones leave, and the table never
  // loses its route through the device, so no packet leaves outside the tunnel
  // in between. Each route through the device has an `unreachable` twin at the
  // highest metric, so losing the device never lets its traffic fall through. A refused route fails
  // the call naming the route and the reason.
  void applyRoutes(int linkIndex, const IPv4Settings& settings);

  // IPv6 leak guard: a rule sending all IPv6 without the daemon's mark to our
  // IPv6 table, which refuses everything (`unreachable default`) but
  // link-local destinations (loopback and local addresses are in the local
  // table, looked up first). The tunnel carries no IPv6, so this keeps IPv6
  // from leaving outside it.
  void installIPv6Guard();

  // Deletes every rule and route of ours, IPv4 and IPv6, whoever made them
  // (this process or a crashed one).
  void removeAll();

  std::size_t installedRouteCount() const { return installed_.size(); }

 private:
  struct Destination {
    std::uint32_t network;
    unsigned prefixLength;
    auto operator<=>(const Destination&) const = default;
  };
  enum class Kind : std::uint8_t { throughDevice, thrown, unknown, unreachable };
  using Routes = std::map<Destination, Kind>;

  static Routes desiredRoutes(const IPv4Settings& settings);
  void installRule();
  void installRuleFor(std::uint8_t family);
  void removeIPv6Routes();
  // Without the unreachable fallbacks unless asked.
  std::vector<Destination> tableContents(bool withFallbacks = false);

  NetlinkSocket socket_;
  Routes installed_;
  bool knowsTable_ = false;  // installed_ mirrors the table
  std::vector<std::pair<std::uint32_t, unsigned>> addresses_;
  int addressLink_ = 0;
};

}  // namespace platform
