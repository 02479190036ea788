#include "platform/interface_type.hpp"

#include <linux/if.h>
#include <linux/if_arp.h>

#include <fstream>
#include <string>

namespace platform {

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

bool isModem(const fs::path& uevent) {
  std::ifstream file(uevent);
  std::string line;
  while (std::getline(file, line)) {
    if (line == "DEVTYPE=wwan") return true;
  }
  return false;
}

}  // namespace

InterfaceType interfaceType(const fs::path& sysfsNet, const std::string& name, unsigned flags,
                            unsigned hardwareType) {
  if (flags & IFF_LOOPBACK) return InterfaceType::loopback;
  // A name from the kernel never holds "/", but a path is built from it.
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return InterfaceType::other;
  }
  auto folder = sysfsNet / name;
  if (present(folder / "phy80211") || present(folder / "wireless")) return InterfaceType::wifi;
  if (isModem(folder / "uevent")) return InterfaceType::cellular;
  if (hardwareType == ARPHRD_ETHER && present(folder / "device")) {
    return InterfaceType::wiredEthernet;
  }
  return InterfaceType::other;
}

}  // namespace platform
