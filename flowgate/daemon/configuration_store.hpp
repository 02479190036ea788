#pragma once

// The daemon's saved tunnel configurations: one JSON file in the data
// directory, replaced whole at every change. A file that cannot be read as
// configurations is moved aside (".corrupt") and the store starts empty, so
// the app can save its configuration again instead of failing on every load.

#include "platform/tunnel_host.hpp"

#include <filesystem>
#include <vector>

namespace flowgate::daemon {

class ConfigurationStore {
 public:
  static constexpr const char* fileName = "tunnel-configurations.json";

  explicit ConfigurationStore(std::filesystem::path directory);

  // What the file holds (nothing when there is no file).
  std::vector<platform::TunnelConfiguration> load();
  // Writes the whole list atomically (the directory is made 0700 when missing).
  void save(const std::vector<platform::TunnelConfiguration>& configurations);

  std::filesystem::path path() const { return directory_ / fileName; }

 private:
  std::filesystem::path directory_;
};

// A fresh identifier: an upper-case UUID.
std::string newConfigurationIdentifier();

}  // namespace flowgate::daemon
