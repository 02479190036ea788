#pragma once

// Node sessions against real relay processes on loopback, driven on one
// io_context that the test runs until what it waits for has happened.

#include "flowgate/transport/session.hpp"
#include "tests/support/relay/io_runner.hpp"
#include "tests/support/relay/lab.hpp"
#include "tests/support/relay/relay_process.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <variant>

namespace sessiontest {

using namespace testsupport;
using flowgate::ExtensionNode;
using flowgate::Session;
namespace asio = boost::asio;

constexpr std::uint64_t deviceID = 0x0102030405060708;
constexpr const char* tunnelText = "198.19.0.9";
constexpr std::uint32_t tunnelAddress = ipv4(198, 19, 0, 9);
constexpr std::uint32_t farHost = ipv4(203, 0, 113, 50);

inline flowgate::TrustBundle bundleFor(const Lab& lab) { return lab.trustBundle(); }

class SessionTest : public ::testing::Test, protected IoRunner {
 protected:
  static void SetUpTestSuite() { lab = std::make_unique<Lab>(); }
  static void TearDownTestSuite() { lab.reset(); }

  static std::unique_ptr<RelayProcess> startRelay(int node = 0) {
    return std::make_unique<RelayProcess>(lab->relayArguments(node));
  }

  static ExtensionNode node(std::uint64_t id, std::uint16_t port,
                            std::optional<std::string> serverName = std::nullopt) {
    return ExtensionNode{id, "node", "127.0.0.1:" + std::to_string(port), std::move(serverName), 0};
  }

  std::shared_ptr<Session> connect(std::vector<ExtensionNode> path, std::string credential = {},
                                   flowgate::SessionOptions options = {}) {
    if (credential.empty()) credential = lab->credential(deviceID, tunnelText);
    return await(Session::connect(
        io.get_executor(), std::move(path), std::move(credential), deviceID, bundleFor(*lab),
        [this](const boost::uuids::uuid& id) { dropped.push_back(id); }, options));
  }

  // The error `connect` ends with.
  runtime::ErrorCode connectError(std::vector<ExtensionNode> path, std::string credential = {},
                                  flowgate::SessionOptions options = {}) {
    try {
      connect(std::move(path), std::move(credential), options);
    } catch (const runtime::SystemError& e) {
      return e.code();
    }
    return {};
  }

  void collect(Session& session) {
    await(session.setPacketHandler([this](Session::Packets packets) {
      for (auto& p : packets) received.push_back(std::move(p));
    }));
  }

  static inline std::unique_ptr<Lab> lab;
  std::vector<boost::uuids::uuid> dropped;
  std::vector<runtime::SharedBytes> received;
};

inline Session::Packets echoBatch(std::uint16_t first, std::size_t count, std::size_t size = 100) {
  Session::Packets batch;
  for (std::size_t i = 0; i < count; ++i) {
    auto sequence = static_cast<std::uint16_t>(first + i);
    batch.push_back(runtime::SharedBytes(
        icmpEchoRequest(tunnelAddress, farHost, 77, sequence, std::string(size, 'x'))));
  }
  return batch;
}

}  // namespace sessiontest
