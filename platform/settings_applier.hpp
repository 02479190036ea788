#pragma once

// Installs the tunnel interface's settings and takes them away at stop.

#include "platform/network_settings.hpp"
#include "runtime/async.hpp"

namespace platform {

class SettingsApplier {
 public:
  virtual ~SettingsApplier() = default;
  // Again with other settings replaces the earlier ones. Fails with the
  // platform's error.
  virtual runtime::Task<void> apply(NetworkSettings settings) = 0;
  // Removes the routing and DNS settings; the interface itself stays.
  virtual runtime::Task<void> remove() = 0;
};

}  // namespace platform
