// Through the lab as the daemon will go: a credential from the lab's control
// server, a node session from the client namespace to a relay, and packets that
// leave through the chosen exit into the world and come back.

#include "tests/support/lab/lab_fixture.hpp"
#include "tests/support/relay/node_client.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#include <boost/json/parse.hpp>

#include <future>

namespace labtest {
namespace {

using testsupport::ipv4;

constexpr const char* curl =
    "curl -sS --max-time 5 --cacert /run/veskar-lab/pki/control-ca.pem "
    "-H 'Content-Type: application/json' ";

// A TCP connection made inside a lab namespace: the socket stays in the
// namespace it was created in, whichever thread uses it.
int connectInside(const std::string& netns, std::uint32_t address, std::uint16_t port) {
  auto task = std::async(std::launch::async, [&]() -> int {
    int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) return -1;
    ::close(ns);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(address);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  });
  return task.get();
}

testsupport::Bytes dnsQuery(std::uint16_t id, const std::string& name) {
  testsupport::Bytes query{static_cast<std::uint8_t>(id >> 8),
                           static_cast<std::uint8_t>(id),
                           1,
                           0,
                           0,
                           1,
                           0,
                           0,
                           0,
                           0,
                           0,
                           0};
  std::size_t start = 0;
  while (start <= name.size()) {
    auto dot = std::min(name.find('.', start), name.size());
    query.push_back(static_cast<std::uint8_t>(dot - start));
    query.insert(query.end(), name.begin() + static_cast<long>(start),
                 name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  query.insert(query.end(), {0, 0, 1, 0, 1});
  return query;
}

struct Authorization {
  std::uint64_t deviceID = 0;
  std::string credential;
  std::uint32_t vpnIPv4 = 0;
};

class LabTunnelTest : public LabTest {
 protected:
  Authorization authorize() {
    auto login =
        inClient(std::string(curl) +
                 R"(-d '{"method":"password","phone":"+15550100","password":"lab-password"}' )"
                 "https://control.lab.example/v1/auth/login");
    auto access = boost::json::parse(login.output).at("access_token").as_string();
    auto reply = inClient(std::string(curl) + "-H 'Authorization: Bearer " + std::string(access) +
                          "' -d '{\"device_key\":\"LAB-TEST\",\"platform\":\"macos\","
                          "\"device_name\":\"lab\",\"local_routes\":[\"198.51.100.0/24\"]}' "
                          "https://control.lab.example/v1/tunnel/authorize");
    auto body = boost::json::parse(reply.output);
    in_addr address{};
    inet_pton(AF_INET, std::string(body.at("vpn_ipv4").as_string()).c_str(), &address);
    return {body.at("device_id").to_number<std::uint64_t>(),
            std::string(body.at("device_credential").as_string()), ntohl(address.s_addr)};
  }

  // Pings `host` over the session; true when its echo reply comes back. The
  // first echo may wait for a neighbour to resolve, hence a few attempts.
  static bool ping(testsupport::NodeClient& node, std::uint32_t from, std::uint32_t host,
                   std::uint16_t attempts = 5) {
    for (std::uint16_t sequence = 1; sequence <= attempts; ++sequence) {
      node.write(testsupport::icmpEchoRequest(from, host, 0x4c41, sequence, "lab"));
      for (auto& packet : node.readPackets(1, std::chrono::seconds(1))) {
        auto reply = testsupport::parse(packet);
        if (reply.protocol == 1 && reply.icmpType == 0 && reply.source == host) return true;
      }
    }
    return false;
  }
};

TEST_F(LabTunnelTest, AChainOfRelaysCarriesPingAndTunnelDNSIntoTheWorld) {
  up();
  auto device = authorize();
  ASSERT_FALSE(device.credential.empty());

  // Path [relay1, relay2]: in at relay1, out of relay2 into the world.
  int fd = connectInside("vkl-client", ipv4(192, 0, 2, 131), 443);
  ASSERT_GE(fd, 0);
  testsupport::NodeClient node(fd, "/run/veskar-lab/pki/node-ca.pem");
  ASSERT_TRUE(node.authenticate(device.credential, device.deviceID,
                                {flowgate::HopEndpoint{ipv4(192, 0, 2, 132), 443}}));
  // The world has no route back to the tunnel network: replies arrive only
  // because the exit masquerades.
  EXPECT_TRUE(ping(node, device.vpnIPv4, ipv4(203, 0, 113, 180)));

  auto tunnelDNS = ipv4(198, 19, 0, 53);
  node.write(testsupport::udpPacket(device.vpnIPv4, 53000, tunnelDNS, 53,
                                    dnsQuery(0x2222, "tunnel.world.lab.example")));
  auto answers = node.readPackets(1, std::chrono::seconds(3));
  ASSERT_EQ(answers.size(), 1u);
  auto answer = testsupport::parse(answers[0]);
  EXPECT_EQ(answer.source, tunnelDNS);
  EXPECT_EQ(answer.destinationPort, 53000);
  ASSERT_GE(answer.payload.size(), 16u);
  EXPECT_EQ(answer.payload[0], 0x22);
  // One answer, ending with 203.0.113.80.
  EXPECT_EQ(answer.payload[7], 1);
  testsupport::Bytes tail(answer.payload.end() - 4, answer.payload.end());
  EXPECT_EQ(tail, (testsupport::Bytes{203, 0, 113, 80}));
}

TEST_F(LabTunnelTest, ASingleExitReachesItsRegionAndRefusesForeignSources) {
  up();
  auto device = authorize();
  int fd = connectInside("vkl-client", ipv4(192, 0, 2, 133), 443);
  ASSERT_GE(fd, 0);
  testsupport::NodeClient node(fd, "/run/veskar-lab/pki/node-ca.pem");
  ASSERT_TRUE(node.authenticate(device.credential, device.deviceID));
  EXPECT_TRUE(ping(node, device.vpnIPv4, ipv4(198, 18, 0, 80)));
  // Packets from any other tunnel address are dropped at the exit.
  EXPECT_FALSE(ping(node, device.vpnIPv4 + 1, ipv4(198, 18, 0, 80), 1));
}

}  // namespace
}  // namespace labtest
