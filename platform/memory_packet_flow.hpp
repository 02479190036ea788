#pragma once

// A packet flow in memory for tests: the test queues packets to be read and
// looks at what was written.

#include "platform/packet_flow.hpp"

#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace platform {

class MemoryPacketFlow final : public PacketFlow {
 public:
  explicit MemoryPacketFlow(const runtime::Executor& executor, std::size_t batchLimit = 64);

  runtime::Task<PacketBatch> readPackets() override;
  void writePackets(std::span<const runtime::SharedBytes> packets,
                    std::span<const int> protocols) override;

  // Queues one packet with the given family (its version nibble by default).
  void inject(runtime::SharedBytes packet, int protocol = -1);
  // Every write so far, in order, as (packet, family).
  std::vector<std::pair<runtime::SharedBytes, int>> written() const;

 private:
  mutable std::mutex mutex_;
  std::size_t batchLimit_;
  std::deque<std::pair<runtime::SharedBytes, int>> queued_;
  std::vector<std::pair<runtime::SharedBytes, int>> written_;
  boost::asio::steady_timer arrival_;  // cancelled when a packet is queued
};

}  // namespace platform
