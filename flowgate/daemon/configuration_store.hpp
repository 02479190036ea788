#pragma once

// The daemon's saved tunnel configurations: one JSON file in the data
// directory, replaced whole at every change. A file that cannot be read as
// configurations is moved aside (".corrupt") and the store starts empty, so
// the app can save its configuration again instead of failing on every load.
// Bounded, so that members of the control group cannot grow root's memory,
// the file or the load reply without limit.

#include "platform/tunnel_host.hpp"

#include <cstddef>
#include <filesystem>
#include <vector>

namespace flowgate::daemon {

class ConfigurationStore {
 public:
  static constexpr const char* fileName = "tunnel-configurations.json";
  static constexpr std::size_t maxConfigurations = 32;
  static constexpr std::size_t maxConfigurationSize = 64 * 1024;  // one, encoded
  // The list's brackets, keys and separators around the configurations.
  static constexpr std::size_t maxFileSize = maxConfigurations * maxConfigurationSize + 4096;

  explicit ConfigurationStore(std::filesystem::path directory);

  // What the file holds (nothing when there is no file). A file over
  // maxFileSize is set aside unread, like a corrupt one.
  std::vector<platform::TunnelConfiguration> load();
  // Writes the whole list atomically (the directory is made 0700 when missing).
  void save(const std::vector<platform::TunnelConfiguration>& configurations);

  // Fails with TunnelHostError::configurationTooLarge over maxConfigurationSize.
  static void checkSize(const platform::TunnelConfiguration& configuration);

  std::filesystem::path path() const { return directory_ / fileName; }

 private:
  std::filesystem::path directory_;
};

// A fresh identifier: an upper-case UUID.
std::string newConfigurationIdentifier();

}  // namespace flowgate::daemon
