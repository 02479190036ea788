#include "testbed/relay/relay_options.hpp"

#include <gtest/gtest.h>

using namespace testbed;

namespace {

std::vector<std::string> base() {
  return {"--listen", "127.0.0.1:0",       "--cert",   "c.pem", "--key", "k.pem", "--node-ca",
          "ca.pem",   "--credential-keys", "keys.json"};
}

std::vector<std::string> with(std::vector<std::string> extra) {
  auto arguments = base();
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return arguments;
}

}  // namespace

TEST(RelayOptions, ReadsBothExitModes) {
  auto echo = parseRelayOptions(
      with({"--dns", "198.51.100.53", "--dns-upstream", "127.0.0.1:5353", "--control", "/c"}));
  EXPECT_EQ(echo.exit, ExitMode::echo);
  EXPECT_EQ(echo.listen.address, 0x7f000001u);
  EXPECT_EQ(echo.listen.port, 0);
  EXPECT_EQ(*echo.dnsAddress, 0xc6336435u);
  EXPECT_EQ(echo.dnsUpstream->port, 5353);
  EXPECT_EQ(*echo.controlSocket, "/c");

  auto tun = parseRelayOptions(
      with({"--exit", "tun", "--tun-name", "vk0", "--tun-address", "198.19.0.1/16"}));
  EXPECT_EQ(tun.exit, ExitMode::tun);
  EXPECT_EQ(tun.tunName, "vk0");
  EXPECT_EQ(tun.tunAddress->first, 0xc6130001u);
  EXPECT_EQ(tun.tunAddress->second, 16u);
}

TEST(RelayOptions, RefusesIncompleteOrContradictoryLines) {
  for (const auto& arguments : {
           std::vector<std::string>{"--listen", "127.0.0.1:0"},
           with({"--listen", "127.0.0.1"}),
           with({"--listen", "127.0.0.1:65536"}),
           with({"--exit", "kernel"}),
           with({"--dns", "198.51.100.53"}),
           with({"--exit", "tun", "--dns", "198.51.100.53", "--dns-upstream", "127.0.0.1:53"}),
           with({"--tun-address", "198.19.0.1"}),
           with({"--verbose"}),
           with({"--control"}),
       }) {
    EXPECT_THROW(parseRelayOptions(arguments), std::invalid_argument);
  }
}
