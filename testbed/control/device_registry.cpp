#include "testbed/control/device_registry.hpp"

#include "runtime/ipv4.hpp"
#include "testbed/control/api_error.hpp"

#include <optional>
#include <stdexcept>

namespace testbed {

DeviceRegistry::DeviceRegistry(std::string_view vpnCidr, const std::vector<std::string>& reserved) {
  auto range = runtime::ipv4::cidrRange(vpnCidr);
  if (!range || range->upper - range->lower < 3) {
    throw std::invalid_argument("vpn_cidr must be an IPv4 network with a prefix of at most 30");
  }
  first_ = range->lower + 1;
  last_ = range->upper - 1;
  cursor_ = first_;
  for (const auto& text : reserved) {
    auto address = runtime::ipv4::ipv4Value(text);
    if (!address) throw std::invalid_argument("reserved address is not IPv4: " + text);
    taken_.insert(*address);
  }
}

std::uint32_t DeviceRegistry::nextFreeAddress() {
  // One lap from the cursor; the cursor moves on so that a moved device never
  // gets its old address back at once.
  std::uint64_t span = static_cast<std::uint64_t>(last_) - first_ + 1;
  for (std::uint64_t step = 0; step < span; ++step) {
    std::uint32_t candidate = cursor_;
    cursor_ = cursor_ == last_ ? first_ : cursor_ + 1;
    if (!taken_.contains(candidate)) {
      taken_.insert(candidate);
      return candidate;
    }
  }
  throw ApiError(503, "address_pool_exhausted");
}

const Device& DeviceRegistry::authorize(const std::string& deviceKey,
                                        runtime::Date leaseExpiresAt) {
  auto it = byKey_.find(deviceKey);
  if (it == byKey_.end()) {
    Device device{nextID_, deviceKey, nextFreeAddress(), leaseExpiresAt};
    ++nextID_;
    keyByID_[device.deviceID] = deviceKey;
    it = byKey_.emplace(deviceKey, std::move(device)).first;
  }
  it->second.leaseExpiresAt = leaseExpiresAt;
  return it->second;
}

const Device* DeviceRegistry::find(std::string_view deviceKey) const {
  auto it = byKey_.find(deviceKey);
  return it == byKey_.end() ? nullptr : &it->second;
}

const Device* DeviceRegistry::findByID(std::uint64_t deviceID) const {
  auto it = keyByID_.find(deviceID);
  return it == keyByID_.end() ? nullptr : find(it->second);
}

bool DeviceRegistry::setLeaseExpiry(std::string_view deviceKey, runtime::Date leaseExpiresAt) {
  auto it = byKey_.find(deviceKey);
  if (it == byKey_.end()) return false;
  it->second.leaseExpiresAt = leaseExpiresAt;
  return true;
}

const Device* DeviceRegistry::move(std::string_view deviceKey) {
  auto it = byKey_.find(deviceKey);
  if (it == byKey_.end()) return nullptr;
  std::uint32_t fresh = 0;
  try {
    fresh = nextFreeAddress();
  } catch (const ApiError&) {
    return nullptr;
  }
  taken_.erase(it->second.address);
  it->second.address = fresh;
  return &it->second;
}

std::vector<Device> DeviceRegistry::devices() const {
  std::vector<Device> result;
  for (const auto& [key, device] : byKey_) result.push_back(device);
  return result;
}

}  // namespace testbed
