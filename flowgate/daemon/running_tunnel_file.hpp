#pragma once

// The run the daemon is responsible for: the started configuration and its
// start options, kept in the data directory from a start until a clean end of
// the run. A daemon that finds the file at its own start was killed while a
// tunnel ran, and starts that tunnel again. The options carry tokens: the file
// is 0600 in the 0700 directory and its content is never logged.

#include "platform/tunnel_host.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace flowgate::daemon {

struct RunningTunnel {
  std::string identifier;
  platform::TunnelStartOptions options;
};

class RunningTunnelFile {
 public:
  static constexpr const char* fileName = "running-tunnel.json";

  explicit RunningTunnelFile(std::filesystem::path directory);

  // Replaces the file atomically; throws runtime::SystemError.
  void save(const RunningTunnel& running) const;
  // Nothing when there is no file, or one that does not decode (it is
  // removed then: a broken record starts nothing, now or later).
  std::optional<RunningTunnel> load() const;
  // Quietly: a file that cannot go is found at the next start, which fails
  // for a missing configuration at worst.
  void remove() const;

  std::filesystem::path path() const { return directory_ / fileName; }

 private:
  std::filesystem::path directory_;
};

}  // namespace flowgate::daemon
