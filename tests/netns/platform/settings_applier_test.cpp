// The settings applier in a namespace of the test's own, wired to a second one

#include "tests/support/files/file_contents.hpp"
// that plays the physical network:
//
//   [apply ns] tun vkpt0 198.18.0.2/16
//              veth 192.0.2.2/24, default via 192.0.2.1 --- [out ns] 192.0.2.1/24,
//                                                           lo 203.0.113.1, 198.51.100.201

#include "platform/connector.hpp"
#include "platform/linux_settings_applier.hpp"
#include "platform/policy_routing.hpp"
#include "platform/resolv_conf_dns.hpp"
#include "platform/tun_device.hpp"
#include "tests/support/netns/namespace.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

using namespace testsupport;
using platform::IPv4Route;
using platform::LinuxSettingsApplier;
using platform::NetworkSettings;
using platform::ResolvConfDNS;
using platform::ResolvConfPaths;
using platform::TunDevice;

namespace fs = std::filesystem;

using testsupport::readAll;

namespace {

constexpr const char* kTun = "vkpt0";
constexpr const char* kOriginalResolvConf = "nameserver 192.0.2.53\nsearch example.test\n";

NetworkSettings settingsWith(std::string address, std::vector<IPv4Route> excluded) {
  NetworkSettings settings;
  settings.tunnelRemoteAddress = "192.0.2.1";
  settings.ipv4Settings = platform::IPv4Settings{
      {std::move(address)}, {"255.255.0.0"}, {{"0.0.0.0", "0.0.0.0"}}, std::move(excluded)};
  settings.dnsSettings = platform::DNSSettings{{"198.18.0.53", "not-an-address"}, {""}, true};
  settings.mtu = 1400;
  return settings;
}

NetworkSettings firstSettings() {
  // 198.51.100.77/25 has host bits set: its network is installed.
  return settingsWith("198.18.0.2", {{"203.0.113.0", "255.255.255.0"},
                                     {"198.51.100.77", "255.255.255.128"},
                                     {"192.0.2.1", "255.255.255.255"}});
}

std::set<std::string> lines(const std::string& text) {
  std::set<std::string> result;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) result.insert(line);
  }
  return result;
}

int udpReceiver(std::uint16_t port, const char* address = "0.0.0.0") {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &any.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
    throw std::runtime_error("bind");
  return fd;
}

void sendFrom(int fd, const char* destination, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, destination, &to.sin_addr);
  ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool readable(int fd, int milliseconds = 1000) {
  pollfd waiting{fd, POLLIN, 0};
  return ::poll(&waiting, 1, milliseconds) == 1;
}

// The destination of the next IPv4 packet the device gives that is not the
// kernel's own chatter, or 0.
std::uint32_t nextUDPDestination(const TunDevice& device) {
  std::vector<std::uint8_t> buffer(2048);
  while (readable(device.nativeHandle())) {
    auto n = device.read(buffer);
    if (n >= 28 && (buffer[0] >> 4) == 4 && buffer[9] == 17) {
      return (std::uint32_t{buffer[16]} << 24) | (buffer[17] << 16) | (buffer[18] << 8) |
             buffer[19];
    }
  }
  return 0;
}

class SettingsApplierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!namespacesAvailable()) GTEST_SKIP() << "needs root, /dev/net/tun and ip netns";
    client = std::make_unique<Namespace>("apply");
    outside = std::make_unique<Namespace>("out");
    auto id = std::to_string(::getpid());
    ASSERT_EQ(shell("ip link add vkp" + id + "c netns " + client->name() +
                    " type veth peer name vkp" + id + "o netns " + outside->name())
                  .status,
              0);
    // Strict reverse-path filtering, the harshest setting a machine may have.
    for (auto* ns : {client.get(), outside.get()}) {
      ns->must("sysctl -qw net.ipv4.conf.all.rp_filter=1 net.ipv4.conf.default.rp_filter=1");
    }
    client->must("ip addr add 192.0.2.2/24 dev vkp" + id + "c && ip link set vkp" + id +
                 "c up && ip route add default via 192.0.2.1");
    outside->must(
        "ip addr add 192.0.2.1/24 dev vkp" + id + "o && ip link set vkp" + id +
        "o up && ip addr add 203.0.113.1/32 dev lo && ip addr add 198.51.100.201/32 dev lo");
    char pattern[] = "/tmp/veskar-applier-XXXXXX";
    directory = ::mkdtemp(pattern);
    paths = {directory / "resolv.conf", directory / "state" / "resolv.conf.original"};
    std::ofstream(paths.file, std::ios::binary) << kOriginalResolvConf;
    client->run([&] { device = std::make_unique<TunDevice>(TunDevice::open(kTun)); });
  }
  void TearDown() override {
    device.reset();
    if (!directory.empty()) fs::remove_all(directory);
  }

  std::unique_ptr<LinuxSettingsApplier> makeApplier() {
    std::unique_ptr<LinuxSettingsApplier> applier;
    client->run([&] {
      applier =
          std::make_unique<LinuxSettingsApplier>(kTun, std::make_unique<ResolvConfDNS>(paths));
    });
    return applier;
  }
  std::set<std::string> table() const {
    return lines(client->must("ip route show table " + std::to_string(platform::kRoutingTable)));
  }
  std::string rules() const { return client->must("ip -4 rule show"); }

  std::unique_ptr<Namespace> client, outside;
  fs::path directory;
  ResolvConfPaths paths;
  std::unique_ptr<TunDevice> device;
};

TEST_F(SettingsApplierTest, RoutesUnmarkedTrafficIntoTheTunnelAndTheRestOutside) {
  auto applier = makeApplier();
  applier->applyNow(firstSettings());

  EXPECT_EQ(table(),
            (std::set<std::string>{"default dev vkpt0 proto 118 scope link",
                                   "unreachable default proto 118 metric 4294967295",
                                   "throw 192.0.2.1 proto 118", "throw 198.51.100.0/25 proto 118",
                                   "throw 203.0.113.0/24 proto 118"}));
  EXPECT_NE(rules().find("31765:\tnot from all fwmark 0x7665 lookup 30309 proto 118"),
            std::string::npos)
      << rules();
  auto link = client->must("ip -4 addr show dev vkpt0");
  EXPECT_NE(link.find("mtu 1400"), std::string::npos) << link;
  EXPECT_NE(link.find("inet 198.18.0.2/16"), std::string::npos) << link;
  EXPECT_NE(link.find(",UP"), std::string::npos) << link;
  EXPECT_EQ(readAll(paths.file),
            std::string(platform::kResolvConfMarker) + "\nnameserver 198.18.0.53\n");

  int received = -1, echo = -1;
  outside->run([&] {
    received = udpReceiver(5000);
    // Bound to the address, so the reply comes from it.
    echo = udpReceiver(5001, "198.51.100.201");
  });
  // Answers one datagram: the reply to a marked socket must come back in
  // although the reverse lookup of its source, unmarked, points into the tunnel.
  std::thread echoer([echo] {
    if (!readable(echo, 3000)) return;
    char byte;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ::recvfrom(echo, &byte, 1, 0, reinterpret_cast<sockaddr*>(&from), &length);
    ::sendto(echo, &byte, 1, 0, reinterpret_cast<sockaddr*>(&from), length);
  });
  client->run([&] {
    boost::asio::io_context context;
    int plain = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto marked =
        platform::openUDP(context.get_executor(), {.routingMark = platform::kRoutingMark});
    sendFrom(plain, "198.51.100.201", 5000);
    EXPECT_EQ(nextUDPDestination(*device), 0xC63364C9u) << "unmarked traffic enters the tunnel";
    EXPECT_FALSE(readable(received, 200));

    sendFrom(marked.native_handle(), "198.51.100.201", 5000);
    EXPECT_TRUE(readable(received)) << "marked traffic leaves outside";
    char byte;
    ::recv(received, &byte, 1, 0);

    sendFrom(plain, "203.0.113.1", 5000);
    EXPECT_TRUE(readable(received)) << "an excluded network leaves outside";

    sendFrom(marked.native_handle(), "198.51.100.201", 5001);
    EXPECT_TRUE(readable(marked.native_handle())) << "the reply to a marked socket arrives";
    ::close(plain);
  });
  echoer.join();
  ::close(received);
  ::close(echo);
}

TEST_F(SettingsApplierTest, ReapplyingLeavesExactlyTheNewSettingsAndRemoveLeavesNothing) {
  auto applier = makeApplier();
  boost::asio::io_context context;
  auto run = [&](runtime::Task<void> task) {
    std::exception_ptr error;
    boost::asio::co_spawn(context, std::move(task), [&](std::exception_ptr e) { error = e; });
    context.restart();
    context.run();
    if (error) std::rethrow_exception(error);
  };
  auto srcValidMark = [&] { return client->must("sysctl -n net.ipv4.conf.all.src_valid_mark"); };
  client->must("sysctl -qw net.ipv4.conf.all.src_valid_mark=0");
  run(applier->apply(firstSettings()));
  run(applier->apply(settingsWith(
      "198.18.0.3", {{"203.0.113.128", "255.255.255.128"}, {"198.51.100.0", "255.255.255.0"}})));
  EXPECT_EQ(table(), (std::set<std::string>{"default dev vkpt0 proto 118 scope link",
                                            "unreachable default proto 118 metric 4294967295",
                                            "throw 198.51.100.0/24 proto 118",
                                            "throw 203.0.113.128/25 proto 118"}));
  auto link = client->must("ip -4 addr show dev vkpt0");
  EXPECT_NE(link.find("inet 198.18.0.3/16"), std::string::npos) << link;
  EXPECT_EQ(link.find("198.18.0.2"), std::string::npos) << link;
  EXPECT_EQ(std::ranges::count(lines(rules()), std::string("31765:\tnot from all fwmark 0x7665 "
                                                           "lookup 30309 proto 118")),
            1);

  EXPECT_EQ(client->exec("nft list table ip veskar").status, 0);
  EXPECT_EQ(srcValidMark(), "1\n");

  run(applier->remove());
  // The value found before the first apply, not the one the second found.
  EXPECT_EQ(srcValidMark(), "0\n");
  EXPECT_TRUE(table().empty());
  EXPECT_NE(client->exec("nft list table ip veskar").status, 0);
  EXPECT_EQ(rules().find("30309"), std::string::npos) << rules();
  EXPECT_EQ(readAll(paths.file), kOriginalResolvConf);
  EXPECT_FALSE(fs::exists(paths.backup));
}

TEST_F(SettingsApplierTest, TakesTheResolverFileBackFromAnotherProgram) {
  auto applier = makeApplier();
  applier->applyNow(firstSettings());
  // Another program replaces the file the way network managers do.
  const std::string theirs = "nameserver 192.0.2.77\n";
  std::ofstream(directory / "theirs", std::ios::binary) << theirs;
  fs::rename(directory / "theirs", paths.file);
  bool ours = false;
  for (int i = 0; i < 100 && !ours; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ours = readAll(paths.file).starts_with(platform::kResolvConfMarker);
  }
  EXPECT_TRUE(ours);
  applier->removeNow();
  EXPECT_EQ(readAll(paths.file), theirs);
}

TEST_F(SettingsApplierTest, ARefusedRouteIsNamedWithTheReason) {
  auto applier = makeApplier();
  auto settings = firstSettings();
  settings.ipv4Settings->excludedRoutes.push_back({"198.51.100.0", "255.0.255.0"});
  try {
    applier->applyNow(settings);
    FAIL() << "applied a route with a broken mask";
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code().value(), EINVAL);
    EXPECT_NE(std::string(error.what()).find("route 198.51.100.0: invalid mask 255.0.255.0"),
              std::string::npos)
        << error.what();
  }
}

TEST_F(SettingsApplierTest, TheNextStartCleansUpAfterAKilledDaemon) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = -1;
  client->run([&] {
    child = ::fork();
    if (child == 0) {
      try {
        LinuxSettingsApplier applier(kTun, std::make_unique<ResolvConfDNS>(paths));
        applier.applyNow(firstSettings());
        ::write(ready[1], "x", 1);
      } catch (...) {
      }
      for (;;) ::pause();
    }
  });
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ(table().size(), 5u);
  ASSERT_NE(rules().find("30309"), std::string::npos);
  ASSERT_NE(readAll(paths.file), kOriginalResolvConf);

  ASSERT_EQ(client->exec("nft list table ip veskar").status, 0);

  makeApplier()->removeLeftovers();
  EXPECT_TRUE(table().empty());
  EXPECT_NE(client->exec("nft list table ip veskar").status, 0);
  EXPECT_EQ(rules().find("30309"), std::string::npos) << rules();
  EXPECT_EQ(readAll(paths.file), kOriginalResolvConf);
}

}  // namespace

namespace {

TEST_F(SettingsApplierTest, TheIPv6GuardLastsAsLongAsTheSettingsAndGoesWithTheLeftovers) {
  auto guardState = [&] {
    return client->must("ip -6 rule show | grep 30309 || true") +
           client->must("ip -6 route show table 30309 || true");
  };
  std::unique_ptr<LinuxSettingsApplier> applier;
  client->run([&] {
    applier = std::make_unique<LinuxSettingsApplier>(kTun, std::make_unique<ResolvConfDNS>(paths),
                                                     /*ipv6Guard=*/true);
  });
  applier->applyNow(firstSettings());
  auto state = guardState();
  EXPECT_NE(state.find("not from all fwmark 0x7665 lookup 30309"), std::string::npos) << state;
  EXPECT_NE(state.find("unreachable default"), std::string::npos) << state;
  EXPECT_NE(state.find("throw fe80::/10"), std::string::npos) << state;
  // Applying again (a re-authorization) keeps one rule.
  applier->applyNow(firstSettings());
  EXPECT_EQ(lines(client->must("ip -6 rule show | grep 30309 || true")).size(), 1u);

  applier->removeNow();
  EXPECT_EQ(guardState(), "");

  // What a killed daemon left: the next daemon's cleanup takes it away.
  applier->applyNow(firstSettings());
  applier.reset();
  ASSERT_NE(guardState(), "");
  makeApplier()->removeLeftovers();
  EXPECT_EQ(guardState(), "");
}

}  // namespace
