#pragma once

// What the path monitor publishes: the interfaces that are up, each with its
// kind as the provider's network fingerprint names it.

#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class InterfaceType { other, wifi, cellular, wiredEthernet, loopback };

constexpr std::string_view caseName(InterfaceType type) {
  switch (type) {
    case InterfaceType::wifi: return "wifi";
    case InterfaceType::cellular: return "cellular";
    case InterfaceType::wiredEthernet: return "wiredEthernet";
    case InterfaceType::loopback: return "loopback";
    case InterfaceType::other: break;
  }
  return "other";
}

struct NetworkInterface {
  std::string name;
  InterfaceType type = InterfaceType::other;
  int index = 0;
  friend bool operator==(const NetworkInterface&, const NetworkInterface&) = default;
};

struct NetworkPath {
  std::vector<NetworkInterface> availableInterfaces;  // by index
  // The ignored interfaces (the tunnel's own) that are up, by index: never
  // part of the network, but their link going down takes their routes along.
  std::vector<NetworkInterface> ownInterfaces;
  friend bool operator==(const NetworkPath&, const NetworkPath&) = default;
};

}  // namespace platform
