#include "flowgate/transport/node_endpoint.hpp"

#include <gtest/gtest.h>

using namespace flowgate;

namespace {
ExtensionNode node(std::string address) { return ExtensionNode{1, "n", std::move(address), {}, 0}; }
}  // namespace

TEST(NodeHostPort, SplitsOnceAtTheFirstColon) {
  auto parts = hostPort(node("relay.example.test:8443"));
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->host, "relay.example.test");
  EXPECT_EQ(parts->port, 8443);
  EXPECT_EQ(hostPort(node(":192.0.2.1:443"))->host, "192.0.2.1");  // empty pieces ignored
  EXPECT_EQ(hostPort(node("192.0.2.1:0"))->port, 0);
  EXPECT_EQ(hostPort(node("192.0.2.1:65535"))->port, 65535);
  for (auto bad : {"192.0.2.1", "192.0.2.1:", "192.0.2.1:0x1bb", "192.0.2.1:65536", "192.0.2.1:-1",
                   "192.0.2.1:44 3", "[::1]:443", ""}) {
    EXPECT_FALSE(hostPort(node(bad))) << bad;
  }
}

TEST(NodeIPv4Endpoint, SkipsPiecesThatAreNotNumbers) {
  auto endpoint = ipv4Endpoint(node("198.51.100.7:443"));
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->address, 0xc6336407u);
  EXPECT_EQ(endpoint->port, 443);
  // Non-numeric pieces are skipped: four numbers remain.
  EXPECT_EQ(ipv4Endpoint(node("198.x.51.100.7:1"))->address, 0xc6336407u);
  EXPECT_EQ(ipv4Endpoint(node("198..51.100.7.:1"))->address, 0xc6336407u);
  for (auto bad : {"relay.example.test:443", "198.51.100:443", "198.51.100.7.9:443",
                   "198.51.100.300:443", "198.51.100.7"}) {
    EXPECT_FALSE(ipv4Endpoint(node(bad))) << bad;
  }
}
