#include "platform/lockdown.hpp"

#include <algorithm>

namespace platform {

std::vector<runtime::ipv4::Range> allowedRanges(const std::vector<IPv4Route>& routes) {
  std::vector<runtime::ipv4::Range> ranges;
  ranges.reserve(routes.size());
  for (const auto& route : routes) {
    auto address = runtime::ipv4::ipv4Value(route.destinationAddress);
    auto mask = runtime::ipv4::ipv4Value(route.subnetMask);
    if (!address || !mask) continue;
    // The network, as the routes install it (host bits cleared).
    ranges.push_back({*address & *mask, (*address & *mask) | ~*mask});
  }
  std::ranges::sort(ranges, {}, &runtime::ipv4::Range::lower);
  std::vector<runtime::ipv4::Range> merged;
  for (const auto& range : ranges) {
    // nftables refuses overlapping intervals; adjacent ones cost an element each.
    if (!merged.empty() &&
        (merged.back().upper == 0xFFFFFFFFu || range.lower <= merged.back().upper + 1)) {
      merged.back().upper = std::max(merged.back().upper, range.upper);
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

Lockdown::Lockdown(std::shared_ptr<LockdownFirewall> firewall, std::string tunnelInterface,
                   std::vector<IPv4Route> localNetworks, bool enabled)
    : firewall_(std::move(firewall)),
      tunnelInterface_(std::move(tunnelInterface)),
      localNetworks_(std::move(localNetworks)),
      enabled_(enabled) {}

bool Lockdown::enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

LockdownRules Lockdown::rulesNow() const {
  return {tunnelInterface_, runNetworks_ ? *runNetworks_ : allowedRanges(localNetworks_)};
}

void Lockdown::setEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  if (enabled) {
    firewall_->install(rulesNow());
  } else {
    firewall_->remove();
  }
  enabled_ = enabled;
}

void Lockdown::takeOver() {
  std::lock_guard lock(mutex_);
  if (!enabled_) {
    firewall_->remove();
  } else if (!firewall_->installed()) {
    firewall_->install(rulesNow());
  }
}

void Lockdown::allow(std::vector<IPv4Route> routes) {
  std::lock_guard lock(mutex_);
  runNetworks_ = allowedRanges(routes);
  if (enabled_) firewall_->install(rulesNow());
}

void Lockdown::runStopped() {
  std::lock_guard lock(mutex_);
  if (!enabled_) firewall_->remove();
}

}  // namespace platform
