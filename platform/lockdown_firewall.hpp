#pragma once

// Lockdown's firewall: while installed, traffic that would leave the machine
// outside the tunnel is dropped, except loopback, the tunnel device, the
// daemon's own marked sockets, DHCP and the allowed IPv4 networks. IPv6 leaves
// only on loopback and to link-local addresses; forwarded traffic leaves only
// into the tunnel or to the allowed networks. It is the kernel's, so it stays
// when the process that installed it dies.

#include "runtime/ipv4.hpp"

#include <string>
#include <vector>

namespace platform {

struct LockdownRules {
  std::string tunnelInterface;
  // Disjoint and ascending (see allowedRanges in lockdown.hpp).
  std::vector<runtime::ipv4::Range> allowed;
  friend bool operator==(const LockdownRules&, const LockdownRules&) = default;
};

class LockdownFirewall {
 public:
  virtual ~LockdownFirewall() = default;
  // Installs the rules, replacing whatever of ours was there, in one step.
  virtual void install(const LockdownRules& rules) = 0;
  // Removes ours; nothing when none is installed.
  virtual void remove() = 0;
  virtual bool installed() = 0;
};

}  // namespace platform
