#pragma once

// Points the system's DNS at the tunnel's servers for every domain, through
// whichever facility the machine uses. Blocking calls.

#include "platform/network_settings.hpp"

#include <arpa/inet.h>

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

class DNSConfigurator {
 public:
  virtual ~DNSConfigurator() = default;
  // Again with other settings replaces the earlier ones.
  virtual void apply(const std::string& interfaceName, int interfaceIndex,
                     const DNSSettings& settings) = 0;
  // Undoes apply(); does nothing when nothing is applied.
  virtual void revert() = 0;
  // Undoes what a daemon that ended without revert() left behind.
  virtual void removeLeftovers() = 0;

  // A file that others may rewrite behind our back, undoing apply(); watched by
  // the applier, which calls reassert() after each change of it.
  virtual std::optional<std::filesystem::path> watchedFile() const { return std::nullopt; }
  // Puts the applied settings back if someone else replaced them.
  virtual void reassert() {}
};

// Servers are kept as given in the settings; only address literals can be
// handed to a resolver.
inline bool isIPAddressLiteral(const std::string& text) {
  unsigned char bytes[16];
  return ::inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

}  // namespace platform
