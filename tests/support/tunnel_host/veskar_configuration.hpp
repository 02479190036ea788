#pragma once

// The tunnel configuration the app saves, as tests and benchmarks save it.

#include "platform/tunnel_host.hpp"

#include <string>
#include <utility>

namespace testsupport {

inline platform::TunnelConfiguration veskarConfiguration(std::string serverAddress,
                                                         bool enabled = true) {
  platform::TunnelConfiguration configuration;
  configuration.providerBundleIdentifier = "com.veskar.macos.Flowgate";
  configuration.serverAddress = std::move(serverAddress);
  configuration.providerConfiguration = {{"protocolVersion", 3}};
  configuration.localizedDescription = "Veskar";
  configuration.enabled = enabled;
  return configuration;
}

}  // namespace testsupport
