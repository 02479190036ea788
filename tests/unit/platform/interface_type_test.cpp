#include "platform/interface_type.hpp"

#include <gtest/gtest.h>

#include <linux/if.h>
#include <linux/if_arp.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using platform::InterfaceType;

TEST(InterfaceType, ComesFromTheLoopbackFlagAndWhatSysfsShows) {
  char pattern[] = "/tmp/veskar-sysfs-XXXXXX";
  fs::path root = ::mkdtemp(pattern);
  auto make = [&](const std::string& name) { fs::create_directories(root / name); };
  make("wlan0");
  fs::create_directories(root / "wlan0" / "phy80211");
  make("wlan1");
  fs::create_directories(root / "wlan1" / "wireless");
  make("wwan0");
  std::ofstream(root / "wwan0" / "uevent") << "DEVTYPE=wwan\nINTERFACE=wwan0\n";
  make("eth0");
  fs::create_directory_symlink("../../devices/pci0000:00", root / "eth0" / "device");
  make("veth0");
  make("tun0");
  std::ofstream(root / "tun0" / "uevent") << "DEVTYPE=tun\n";

  struct Case {
    const char* name;
    unsigned flags;
    unsigned hardware;
    InterfaceType expected;
  } cases[] = {
      {"lo", IFF_LOOPBACK | IFF_UP, ARPHRD_LOOPBACK, InterfaceType::loopback},
      {"wlan0", IFF_UP, ARPHRD_ETHER, InterfaceType::wifi},
      {"wlan1", IFF_UP, ARPHRD_ETHER, InterfaceType::wifi},
      {"wwan0", IFF_UP, ARPHRD_NONE, InterfaceType::cellular},
      {"eth0", IFF_UP, ARPHRD_ETHER, InterfaceType::wiredEthernet},
      // Ethernet framing without a device behind it: veth, bridges.
      {"veth0", IFF_UP, ARPHRD_ETHER, InterfaceType::other},
      {"tun0", IFF_UP, ARPHRD_NONE, InterfaceType::other},
      {"gone0", IFF_UP, ARPHRD_ETHER, InterfaceType::other},
      {"..", IFF_UP, ARPHRD_ETHER, InterfaceType::other},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::interfaceType(root, c.name, c.flags, c.hardware), c.expected) << c.name;
  }
  fs::remove_all(root);
}
