#pragma once

// The provider on this machine's own platform: a TUN device opened for the
// run, policy routing and DNS through the Linux settings applier, the netlink
// path monitor, files in the data directory's folder of the run's control
// origin (see control_origins.hpp). Shared by `flowgate run` and the daemon.

#include "flowgate/daemon/tunnel_host_service.hpp"
#include "platform/data_directory.hpp"
#include "platform/lockdown.hpp"
#include "platform/log.hpp"

#include <filesystem>
#include <string>

namespace flowgate::daemon {

inline constexpr const char* defaultTunName = "veskar0";
// The user-defaults domain of the daemon's files in the data directory.
inline constexpr const char* defaultsDomain = "flowgate";

struct LinuxProviderOptions {
  std::string tunName = defaultTunName;
  std::filesystem::path dataDirectory = platform::daemonDataDirectory();
  // Fail closed: IPv6 beside the tunnel is refused unless turned off.
  bool ipv6LeakGuard = true;
  // Shared by the runs; none leaves lockdown alone.
  std::shared_ptr<platform::Lockdown> lockdown;
  // The run's events and errors; none writes nothing.
  std::shared_ptr<platform::Log> log;
};

// Lockdown on this machine (an nftables table) for the tunnel device
// `tunName`; without a run's networks, the reserved local ranges stay open.
std::shared_ptr<platform::Lockdown> makeLinuxLockdown(const std::string& tunName, bool enabled);

// One run's provider. The TUN device lives as long as the packet flow the
// provider holds: after `stopped` ends the flow's pending read, it closes with
// the provider and the device is gone. A crashed run's leftovers go with the
// first application of the settings, on the applier's worker: the start's own
// name lookups ask the physical network's resolvers, never the resolver file.
ProviderRun makeLinuxProvider(runtime::Executor executor, const LinuxProviderOptions& options,
                              const StartOptions& startOptions,
                              std::function<void(bool)> reassertingChanged,
                              std::function<void(std::exception_ptr)> cancelledWithError);

// Removes what a crashed run left: routes and rules of ours (IPv6 guard
// included), reply marks, DNS changes and the resolver file's backup. A TUN
// device goes with the process that held it. Lockdown's block stays.
void removeLeftovers(const std::string& tunName);

}  // namespace flowgate::daemon
