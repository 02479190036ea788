#pragma once

// The tunnel interface's settings as one plain value: what the provider builds
// and what an applier installs. Routes keep their text as written (a
// destination with host bits set stays so here; the applier installs its
// network).

#include "runtime/ipv4.hpp"

#include <optional>
#include <string>
#include <vector>

namespace platform {

using IPv4Route = runtime::ipv4::RouteText;

struct IPv4Settings {
  std::vector<std::string> addresses;
  std::vector<std::string> subnetMasks;  // one per address
  std::vector<IPv4Route> includedRoutes;
  std::vector<IPv4Route> excludedRoutes;
  friend bool operator==(const IPv4Settings&, const IPv4Settings&) = default;
};

struct DNSSettings {
  std::vector<std::string> servers;
  std::vector<std::string> matchDomains;  // [""]: the servers answer for every domain
  bool matchDomainsNoSearch = false;
  friend bool operator==(const DNSSettings&, const DNSSettings&) = default;
};

struct NetworkSettings {
  std::string tunnelRemoteAddress;
  std::optional<IPv4Settings> ipv4Settings;
  std::optional<DNSSettings> dnsSettings;
  std::optional<int> mtu;
  friend bool operator==(const NetworkSettings&, const NetworkSettings&) = default;
};

}  // namespace platform
