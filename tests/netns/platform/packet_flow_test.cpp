// The TUN packet flow against the kernel of a namespace of the test's own: the
// stack's packets come out of the flow in order and in batches, and packets the
// flow writes reach the stack (a real ping answered by an echo loop).

#include "platform/internet_checksum.hpp"
#include "platform/tun_packet_flow.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/netns/namespace.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <boost/asio/io_context.hpp>

#include <future>
#include <numeric>

using namespace testsupport;
using platform::PacketBatch;
using platform::TunDevice;
using platform::TunPacketFlow;

namespace {

constexpr std::uint32_t kTunAddress = 0xC6120001;  // 198.18.0.1/24
constexpr const char* kPeer = "198.18.0.2";        // behind the device

// The answer to an ICMP echo request, or nothing for any other packet.
std::optional<runtime::SharedBytes> echoReply(const runtime::SharedBytes& request) {
  if (request.size() < 28 || request[9] != 1) return std::nullopt;
  std::size_t header = (request[0] & 0x0f) * 4;
  if (request.size() < header + 8 || request[header] != 8) return std::nullopt;
  std::vector<std::uint8_t> reply(request.begin(), request.end());
  std::swap_ranges(reply.begin() + 12, reply.begin() + 16, reply.begin() + 16);
  reply[header] = 0;
  reply[header + 2] = reply[header + 3] = 0;
  auto sum = static_cast<std::uint16_t>(
      ~platform::checksumFold(platform::checksumAdd(std::span(reply).subspan(header))));
  reply[header + 2] = static_cast<std::uint8_t>(sum >> 8);
  reply[header + 3] = static_cast<std::uint8_t>(sum);
  return runtime::SharedBytes(std::move(reply));
}

class TunFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!namespacesAvailable()) GTEST_SKIP() << "needs root, /dev/net/tun and ip netns";
    ns = std::make_unique<Namespace>("flow");
  }
  // Runs `body` in the namespace with a configured device and its flow.
  void withFlow(std::size_t batchLimit,
                const std::function<void(boost::asio::io_context&, TunPacketFlow&)>& body,
                platform::TunOffload offload = platform::TunOffload::none) {
    ns->run([&] {
      auto device = TunDevice::open("vkpt%d", offload);
      device.setIPv4Address(kTunAddress, 24);
      device.bringUp();
      boost::asio::io_context context;
      TunPacketFlow flow(context.get_executor(), device, batchLimit);
      body(context, flow);
    });
  }
  std::unique_ptr<Namespace> ns;
};

TEST_F(TunFlowTest, AnswersARealPingThroughTheDevice) {
  std::vector<int> families;
  withFlow(64, [&](boost::asio::io_context& context, TunPacketFlow& flow) {
    runtime::spawn(context.get_executor(), [&]() -> runtime::Task<void> {
      for (;;) {
        auto batch = co_await flow.readPackets();
        std::vector<runtime::SharedBytes> replies;
        for (std::size_t i = 0; i < batch.packets.size(); ++i) {
          if (auto reply = echoReply(batch.packets[i])) {
            families.push_back(batch.protocols[i]);
            replies.push_back(std::move(*reply));
          }
        }
        std::vector<int> protocols(replies.size(), platform::kFamilyIPv4);
        flow.writePackets(replies, protocols);
      }
    });
    auto ping = std::async(std::launch::async, [&] {
      auto result = ns->exec(std::string("ping -c 3 -i 0.2 -W 2 ") + kPeer);
      context.stop();
      return result;
    });
    context.run();
    auto result = ping.get();
    EXPECT_EQ(result.status, 0) << result.output;
  });
  EXPECT_EQ(families, std::vector<int>(families.size(), platform::kFamilyIPv4));
  EXPECT_GE(families.size(), 3u);
}

TEST_F(TunFlowTest, DrainsWaitingPacketsInOrderUpToTheBatchLimit) {
  withFlow(16, [&](boost::asio::io_context& context, TunPacketFlow& flow) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(9);
    ::inet_pton(AF_INET, kPeer, &peer.sin_addr);
    for (std::uint8_t i = 0; i < 40; ++i) {
      ASSERT_EQ(::sendto(fd, &i, 1, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 1);
    }
    ::close(fd);
    std::vector<std::size_t> sizes;
    std::vector<int> payloads;
    runtime::spawn(context.get_executor(), [&]() -> runtime::Task<void> {
      while (payloads.size() < 40) {
        auto batch = co_await flow.readPackets();
        sizes.push_back(batch.packets.size());
        for (const auto& packet : batch.packets) {
          // The kernel may send other packets (IGMP, router solicitations).
          if (packet.size() == 29 && packet[9] == 17) payloads.push_back(packet[28]);
        }
      }
    });
    context.run();
    ASSERT_GE(sizes.size(), 3u);
    EXPECT_EQ(sizes[0], 16u);
    EXPECT_EQ(sizes[1], 16u);
    std::vector<int> expected(40);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(payloads, expected);
  });
}

// Sends the stack's packets back to it with source and destination swapped
// (neither checksum changes), so a connection to the peer's address is
// answered by a listener on the device's own: every byte of both directions
// passes through the flow, in super-packets where the device offers them.
TEST_F(TunFlowTest, AnOffloadingDeviceCarriesATCPStreamIntactBothWays) {
  constexpr std::size_t total = 4 << 20;
  std::size_t largest = 0;
  withFlow(
      64,
      [&](boost::asio::io_context& context, TunPacketFlow& flow) {
        runtime::spawn(context.get_executor(), [&]() -> runtime::Task<void> {
          for (;;) {
            auto batch = co_await flow.readPackets();
            std::vector<runtime::SharedBytes> reflected;
            for (const auto& packet : batch.packets) {
              largest = std::max(largest, packet.size());
              if (packet.size() < 20 || (packet[0] >> 4) != 4) continue;
              std::vector<std::uint8_t> bytes(packet.begin(), packet.end());
              std::swap_ranges(bytes.begin() + 12, bytes.begin() + 16, bytes.begin() + 16);
              reflected.emplace_back(std::move(bytes));
            }
            std::vector<int> protocols(reflected.size(), platform::kFamilyIPv4);
            flow.writePackets(reflected, protocols);
          }
        });
        auto transfer = std::async(std::launch::async, [&] {
          auto endpoint = [](const char* address) {
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(5001);
            ::inet_pton(AF_INET, address, &at.sin_addr);
            return at;
          };
          int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          auto own = endpoint("198.18.0.1");
          ::bind(listener, reinterpret_cast<sockaddr*>(&own), sizeof own);
          ::listen(listener, 1);
          // A broken flow fails the test instead of hanging it.
          timeval patience{10, 0};
          ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
          auto sender = std::async(std::launch::async, [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            auto peer = endpoint(kPeer);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
              ::close(fd);
              return false;
            }
            std::vector<std::uint8_t> data(total);
            for (std::size_t i = 0; i < total; ++i)
              data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
            std::size_t sent = 0;
            while (sent < total) {
              auto n = ::send(fd, data.data() + sent, total - sent, 0);
              if (n <= 0) break;
              sent += static_cast<std::size_t>(n);
            }
            ::close(fd);
            return sent == total;
          });
          int connection = ::accept(listener, nullptr, nullptr);
          ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
          std::size_t received = 0, wrong = 0;
          std::vector<std::uint8_t> chunk(65536);
          for (ssize_t n;
               connection >= 0 && (n = ::recv(connection, chunk.data(), chunk.size(), 0)) > 0;) {
            for (ssize_t i = 0; i < n; ++i, ++received) {
              if (chunk[i] != static_cast<std::uint8_t>(received * 7 + received / 251)) ++wrong;
            }
          }
          bool sentAll = sender.get();
          ::close(connection);
          ::close(listener);
          context.stop();
          return std::tuple{sentAll, received, wrong};
        });
        context.run();
        auto [sentAll, received, wrong] = transfer.get();
        EXPECT_TRUE(sentAll);
        EXPECT_EQ(received, total);
        EXPECT_EQ(wrong, 0u);
      },
      platform::TunOffload::tcp);
  // What the flow hands over fits the device's MTU, however large the stack's sends.
  EXPECT_GT(largest, 1000u);
  EXPECT_LE(largest, 1500u);
}

}  // namespace
