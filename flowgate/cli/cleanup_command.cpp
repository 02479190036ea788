#include "flowgate/cli/cleanup_command.hpp"

#include "flowgate/daemon/linux_provider.hpp"
#include "flowgate/daemon/running_tunnel_file.hpp"
#include "platform/data_directory.hpp"
#include "platform/nft_lockdown_firewall.hpp"

#include <unistd.h>

#include <filesystem>
#include <string>

namespace flowgate::cli {

namespace {

constexpr std::string_view usage = "flowgate cleanup [--tun NAME] [--data-dir DIR]\n";

int usageError(std::ostream& err, std::string_view reason) {
  err << "flowgate cleanup: " << reason << "\nusage:\n" << usage;
  return exitUsage;
}

int run(Arguments arguments, std::ostream&, std::ostream& err) {
  std::string tunName = daemon::defaultTunName;
  std::filesystem::path dataDirectory = platform::daemonDataDirectory();
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    auto name = arguments[i];
    if (name != "--tun" && name != "--data-dir") {
      return usageError(err, "unknown option " + std::string(name));
    }
    if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
      return usageError(err, std::string(name) + " needs a value");
    }
    if (name == "--tun") {
      tunName = arguments[i + 1];
    } else {
      dataDirectory = arguments[i + 1];
    }
  }
  if (::geteuid() != 0) {
    err << "flowgate cleanup: must run as root\n";
    return exitFailure;
  }
  // The interrupted run first: a daemon started meanwhile must not bring back
  // what is being taken away.
  daemon::RunningTunnelFile(dataDirectory).remove();
  daemon::removeLeftovers(tunName);
  platform::NftLockdownFirewall().remove();
  return exitSuccess;
}

}  // namespace

const Command cleanupCommand{"cleanup", usage, run};

}  // namespace flowgate::cli
