// The tun exit in network namespaces of the test's own: a ping from a test
// client, through the relay's TUN device and the exit namespace's kernel, to a
// host behind the exit and back.
//
//   [test client] --TLS--> relay (exit ns, 127.0.0.1) --tun 198.19.0.1/16-->
//   exit ns kernel --veth 192.0.2.1/24--> host ns 192.0.2.2

#include "tests/support/relay/lab.hpp"
#include "tests/support/relay/node_client.hpp"
#include "tests/support/relay/relay_process.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

using namespace testsupport;

namespace {

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Namespaces and links named after this process, removed however the test ends.
class Namespaces {
 public:
  Namespaces() {
    auto id = std::to_string(::getpid());
    exit = "vkr-" + id + "-exit";
    host = "vkr-" + id + "-host";
    exitLink = "vk" + id + "e";
    hostLink = "vk" + id + "h";
    tunName = "vkt" + id;
  }
  ~Namespaces() {
    run("ip netns del " + exit);
    run("ip netns del " + host);
  }
  std::string exit, host, exitLink, hostLink, tunName;
};

// A TCP connection to 127.0.0.1:port made inside `netns`: the socket belongs to
// the namespace it was created in, whichever thread uses it afterwards.
int connectInside(const std::string& netns, std::uint16_t port) {
  auto task = std::async(std::launch::async, [&]() -> int {
    int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) return -1;
    ::close(ns);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  });
  return task.get();
}

}  // namespace

TEST(RelayTunExit, CarriesAPingToAHostBehindTheExit) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  if (!run("ip netns list") || !std::filesystem::exists("/dev/net/tun")) {
    GTEST_SKIP() << "ip netns or /dev/net/tun unavailable";
  }
  Namespaces ns;
  for (const auto& command : {
           "ip netns add " + ns.exit,
           "ip netns add " + ns.host,
           "ip -n " + ns.exit + " link set lo up",
           "ip -n " + ns.host + " link set lo up",
           "ip link add " + ns.exitLink + " netns " + ns.exit + " type veth peer name " +
               ns.hostLink + " netns " + ns.host,
           "ip -n " + ns.exit + " addr add 192.0.2.1/24 dev " + ns.exitLink,
           "ip -n " + ns.exit + " link set " + ns.exitLink + " up",
           "ip -n " + ns.host + " addr add 192.0.2.2/24 dev " + ns.hostLink,
           "ip -n " + ns.host + " link set " + ns.hostLink + " up",
           "ip -n " + ns.host + " route add 198.18.0.0/15 via 192.0.2.1",
           "ip netns exec " + ns.exit + " sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'",
       }) {
    ASSERT_TRUE(run(command)) << command;
  }

  Lab lab(1);
  auto arguments = lab.relayArguments(0);
  arguments.insert(arguments.end(),
                   {"--exit", "tun", "--tun-name", ns.tunName, "--tun-address", "198.19.0.1/16"});
  auto relay = std::make_unique<RelayProcess>(arguments, ns.exit);
  ASSERT_EQ(relay->banner(), std::vector<std::string>{"tun " + ns.tunName});

  int fd = connectInside(ns.exit, relay->port());
  ASSERT_GE(fd, 0);
  NodeClient node(fd, lab.paths().nodeCA().string());
  constexpr std::uint64_t deviceID = 77;
  ASSERT_TRUE(node.authenticate(lab.credential(deviceID, "198.19.0.2"), deviceID));

  auto tunnelAddress = ipv4(198, 19, 0, 2);
  auto host = ipv4(192, 0, 2, 2);
  // The first echo may wait for the veth neighbour to resolve; send a few.
  std::vector<Parsed> replies;
  for (std::uint16_t sequence = 1; sequence <= 5 && replies.empty(); ++sequence) {
    node.write(icmpEchoRequest(tunnelAddress, host, 0x5151, sequence, "through the exit"));
    for (auto& packet : node.readPackets(1, std::chrono::seconds(1))) {
      replies.push_back(parse(packet));
    }
  }
  ASSERT_FALSE(replies.empty());
  EXPECT_EQ(replies[0].protocol, 1);
  EXPECT_EQ(replies[0].icmpType, 0);
  EXPECT_EQ(replies[0].source, host);
  EXPECT_EQ(replies[0].destination, tunnelAddress);
  EXPECT_EQ(replies[0].icmpIdentifier, 0x5151);
  EXPECT_EQ(std::string(replies[0].payload.begin(), replies[0].payload.end()), "through the exit");

  // Leaving takes the device with it.
  EXPECT_TRUE(run("ip -n " + ns.exit + " link show " + ns.tunName));
  relay->terminate();
  EXPECT_FALSE(run("ip -n " + ns.exit + " link show " + ns.tunName));
}
