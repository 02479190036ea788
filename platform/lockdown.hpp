#pragma once

// Lockdown, the switch: while on, the firewall blocks traffic that would leave
// outside the tunnel. A run's settings give the networks allowed beside it
// (its excluded routes, replaced whole at each application); while no run
// has given any, only the local networks are. Nothing here opens the machine
// by itself: the block goes only when lockdown is turned off, or when a run
// with lockdown off stops cleanly (a block left from an earlier run). A crash
// leaves it installed. Thread-safe.

#include "platform/lockdown_firewall.hpp"
#include "platform/network_settings.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The routes as disjoint ascending ranges (overlapping and adjacent ones
// merged); a route whose text does not read is left out.
std::vector<runtime::ipv4::Range> allowedRanges(const std::vector<IPv4Route>& routes);

class Lockdown {
 public:
  Lockdown(std::shared_ptr<LockdownFirewall> firewall, std::string tunnelInterface,
           std::vector<IPv4Route> localNetworks, bool enabled);

  bool enabled() const;
  // On installs the last run's networks (or the local ones); off removes the
  // block. Throws the firewall's error; the switch then keeps its old state.
  void setEnabled(bool enabled);
  // At the daemon's start: when on, a block already installed (with a crashed
  // run's networks) stays as it is, else the local networks' one goes in; when
  // off, a block left from earlier goes, so the state reported is the machine's.
  void takeOver();
  // A run's settings were applied: when on, its networks replace the allowed ones.
  void allow(std::vector<IPv4Route> routes);
  // A run stopped cleanly: when off, a block left from earlier goes.
  void runStopped();

 private:
  LockdownRules rulesNow() const;

  std::shared_ptr<LockdownFirewall> firewall_;
  std::string tunnelInterface_;
  std::vector<IPv4Route> localNetworks_;
  mutable std::mutex mutex_;
  bool enabled_;
  std::optional<std::vector<runtime::ipv4::Range>> runNetworks_;
};

}  // namespace platform
