#pragma once

// The devices the control server has authorized: a device ID and a tunnel
// address per device key, both stable for the server's life, and the address
// lease with its expiry. Addresses come from the tunnel network, skipping its
// network and broadcast addresses and the reserved ones (the tunnel's DNS
// servers among them).

#include "runtime/date.hpp"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace testbed {

struct Device {
  std::uint64_t deviceID = 0;
  std::string deviceKey;
  std::uint32_t address = 0;
  runtime::Date leaseExpiresAt;
};

class DeviceRegistry {
 public:
  // Throws std::invalid_argument for a tunnel network that is not a CIDR with
  // a prefix of at most 30, or a reserved address that is not a dotted quad.
  DeviceRegistry(std::string_view vpnCidr, const std::vector<std::string>& reserved);

  // The device of `deviceKey`, created with the next free address on first
  // use; its lease now runs until `leaseExpiresAt`. Throws ApiError 503
  // "address_pool_exhausted" when no address is left for a new device.
  const Device& authorize(const std::string& deviceKey, runtime::Date leaseExpiresAt);

  const Device* find(std::string_view deviceKey) const;
  const Device* findByID(std::uint64_t deviceID) const;

  // False for an unknown device key.
  bool setLeaseExpiry(std::string_view deviceKey, runtime::Date leaseExpiresAt);
  // Gives the device another free address, so that credentials naming the old
  // one no longer match its lease. Nothing for an unknown device key or a full
  // network.
  const Device* move(std::string_view deviceKey);

  std::vector<Device> devices() const;

 private:
  std::uint32_t nextFreeAddress();

  std::uint32_t first_;  // lowest address handed out
  std::uint32_t last_;   // highest
  std::uint32_t cursor_;
  std::set<std::uint32_t> taken_;
  std::map<std::string, Device, std::less<>> byKey_;
  std::map<std::uint64_t, std::string> keyByID_;
  std::uint64_t nextID_ = 1;
};

}  // namespace testbed
