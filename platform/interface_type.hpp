#pragma once

// The kind of a network interface from what the kernel shows of it: the
// loopback flag; a wireless device (phy80211 or wireless in sysfs); a modem
// (DEVTYPE=wwan); an Ethernet link backed by a device; anything else (tun,
// veth, bridges) is "other".

#include "platform/network_path.hpp"

#include <filesystem>
#include <string>

namespace platform {

// `sysfsNet` is the folder of the interfaces (/sys/class/net); `flags` and
// `hardwareType` are the link's IFF_* flags and ARPHRD_* type.
InterfaceType interfaceType(const std::filesystem::path& sysfsNet, const std::string& name,
                            unsigned flags, unsigned hardwareType);

}  // namespace platform
