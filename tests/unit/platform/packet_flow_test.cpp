#include "platform/memory_packet_flow.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

using platform::MemoryPacketFlow;

TEST(PacketFlow, TheFamilyComesFromTheVersionNibble) {
  std::vector<std::uint8_t> v4{0x45, 0}, v6{0x60, 0}, other{0x20, 0}, empty;
  EXPECT_EQ(platform::packetFamily(v4), platform::kFamilyIPv4);
  EXPECT_EQ(platform::packetFamily(v6), platform::kFamilyIPv6);
  EXPECT_EQ(platform::packetFamily(other), 0);
  EXPECT_EQ(platform::packetFamily(empty), 0);
}

TEST(PacketFlow, MemoryFlowWaitsForPacketsAndHandsThemOverInBatches) {
  boost::asio::io_context context;
  MemoryPacketFlow flow(context.get_executor(), 2);
  std::vector<std::size_t> sizes;
  boost::asio::co_spawn(
      context,
      [&]() -> runtime::Task<void> {
        for (int i = 0; i < 2; ++i) sizes.push_back((co_await flow.readPackets()).packets.size());
      },
      [](std::exception_ptr error) {
        if (error) std::rethrow_exception(error);
      });
  context.poll();
  EXPECT_TRUE(sizes.empty()) << "a read waits for a packet";
  for (std::uint8_t i = 0; i < 3; ++i) flow.inject(runtime::SharedBytes::copy(std::vector{i}));
  context.run();
  EXPECT_EQ(sizes, (std::vector<std::size_t>{2, 1}));
}
