#pragma once

#include "tests/support/relay/lab.hpp"
#include "tests/support/relay/node_client.hpp"
#include "tests/support/relay/relay_process.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace testsupport {

constexpr std::uint64_t deviceID = 0xfedcba9876543210;
constexpr const char* tunnelText = "198.19.0.2";
constexpr std::uint32_t tunnelAddress = ipv4(198, 19, 0, 2);
constexpr std::uint32_t farHost = ipv4(203, 0, 113, 7);

class RelayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { lab = std::make_unique<Lab>(); }
  static void TearDownTestSuite() { lab.reset(); }

  static std::unique_ptr<RelayProcess> startRelay(int node = 0,
                                                  std::vector<std::string> extra = {}) {
    auto arguments = lab->relayArguments(node);
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return std::make_unique<RelayProcess>(arguments);
  }

  NodeClient client(const RelayProcess& relay) const {
    return NodeClient(relay.port(), lab->paths().nodeCA().string());
  }

  static inline std::unique_ptr<Lab> lab;
};

}  // namespace testsupport
