// The rtnetlink path monitor in a namespace of the test's own: one settled
// update per real change, none for the tunnel's own addresses, routes and
// rule; its link going down or up is reported apart from the network.

#include "platform/linux_settings_applier.hpp"
#include "platform/netlink_path_monitor.hpp"
#include "platform/tun_device.hpp"
#include "tests/support/netns/namespace.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <optional>
#include <thread>

using namespace testsupport;
using namespace std::chrono_literals;
using platform::NetworkPath;

namespace {

constexpr auto kDebounce = 100ms;
// Long enough for a burst to settle and be published.
constexpr auto kSettled = kDebounce * 6;

class PathMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!namespacesAvailable()) GTEST_SKIP() << "needs root, /dev/net/tun and ip netns";
    ns = std::make_unique<Namespace>("path");
    auto id = std::to_string(::getpid());
    veth = "vkp" + id + "a";
    ns->must("ip link add " + veth + " type veth peer name vkp" + id + "b && ip link set " + veth +
             " up && ip link set vkp" + id + "b up && ip addr add 192.0.2.2/24 dev " + veth +
             " && ip route add default via 192.0.2.1");
    ns->run([&] {
      monitor = std::make_unique<platform::NetlinkPathMonitor>(
          context.get_executor(), platform::NetlinkPathMonitor::Options{.debounce = kDebounce});
    });
    monitor->ignoreInterface("vkpt0");
    monitor->start([this](const NetworkPath& path) {
      std::lock_guard lock(mutex);
      updates.push_back(path);
    });
    runner = std::thread([this] { context.run(); });
    std::this_thread::sleep_for(kSettled);
  }
  void TearDown() override {
    if (monitor) monitor->cancel();
    work.reset();
    if (runner.joinable()) runner.join();
    monitor.reset();
  }

  std::vector<NetworkPath> takeUpdates() {
    std::this_thread::sleep_for(kSettled);
    std::lock_guard lock(mutex);
    return std::exchange(updates, {});
  }
  bool lists(const NetworkPath& path, const std::string& name) const {
    return std::ranges::any_of(path.availableInterfaces,
                               [&](const auto& interface) { return interface.name == name; });
  }

  std::unique_ptr<Namespace> ns;
  std::string veth;
  boost::asio::io_context context;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
      context.get_executor()};
  std::unique_ptr<platform::NetlinkPathMonitor> monitor;
  std::thread runner;
  std::mutex mutex;
  std::vector<NetworkPath> updates;
};

TEST_F(PathMonitorTest, ReportsALinkGoingDownAndUpOnceEach) {
  auto initial = takeUpdates();
  ASSERT_EQ(initial.size(), 1u);
  EXPECT_TRUE(lists(initial[0], veth));
  EXPECT_TRUE(lists(initial[0], "lo"));
  EXPECT_EQ(initial[0].availableInterfaces.front().type, platform::InterfaceType::loopback);

  ns->must("ip link set " + veth + " down");
  auto down = takeUpdates();
  ASSERT_EQ(down.size(), 1u);
  EXPECT_FALSE(lists(down[0], veth));

  ns->must("ip link set " + veth + " up && ip route replace default via 192.0.2.1");
  auto up = takeUpdates();
  ASSERT_EQ(up.size(), 1u);
  EXPECT_TRUE(lists(up[0], veth));
}

TEST_F(PathMonitorTest, TheTunnelSettingItselfUpIsNoNetworkChange) {
  auto initial = takeUpdates();
  ASSERT_EQ(initial.size(), 1u);
  std::optional<platform::TunDevice> device;
  std::optional<platform::LinuxSettingsApplier> applier;
  ns->run([&] {
    device.emplace(platform::TunDevice::open("vkpt0"));
    applier.emplace("vkpt0", nullptr);
    platform::NetworkSettings settings;
    settings.ipv4Settings = platform::IPv4Settings{{"198.18.0.2"},
                                                   {"255.255.0.0"},
                                                   {{"0.0.0.0", "0.0.0.0"}},
                                                   {{"203.0.113.0", "255.255.255.0"}}};
    settings.mtu = 1400;
    applier->applyNow(settings);
    settings.ipv4Settings->excludedRoutes = {{"198.51.100.0", "255.255.255.0"}};
    applier->applyNow(settings);
  });
  // Its link coming up is reported, once, as the same network.
  auto up = takeUpdates();
  ns->run([&] { applier->removeNow(); });
  EXPECT_TRUE(takeUpdates().empty());
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].ownInterfaces.size(), 1u);
  EXPECT_EQ(up[0].availableInterfaces, initial[0].availableInterfaces);
}

}  // namespace
