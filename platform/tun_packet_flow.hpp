#pragma once

// The packet flow of a TUN device: a read waits for the descriptor to become
// readable and then drains it without blocking, up to the batch limit. On an
// offloading device, super-packets are cut into segments on the way in and
// segments merged on the way out. Packets are read into pooled blocks and
// handed out as slices of them.

#include "platform/packet_flow.hpp"
#include "platform/tun_device.hpp"
#include "runtime/block_pool.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstddef>
#include <vector>

namespace platform {

class TunPacketFlow final : public PacketFlow {
 public:
  static constexpr std::size_t kDefaultBatchLimit = 64;

  // The flow uses the device's descriptor but does not own the device, which
  // must outlive it.
  TunPacketFlow(const runtime::Executor& executor, const TunDevice& device,
                std::size_t batchLimit = kDefaultBatchLimit);
  ~TunPacketFlow() override;

  runtime::Task<PacketBatch> readPackets() override;
  runtime::Task<void> readPacketsInto(PacketBatch& batch) override;
  void writePackets(std::span<const runtime::SharedBytes> packets,
                    std::span<const int> protocols) override;

  // Ends a pending read with boost::asio::error::operation_aborted.
  void cancel();

 private:
  const TunDevice& device_;
  std::size_t batchLimit_;
  boost::asio::posix::stream_descriptor readiness_;  // watches a duplicate descriptor
  // Reads one packet at most; false when none is waiting.
  bool readOne(PacketBatch& batch);

  bool drained_ = false;  // the last read found nothing waiting
  runtime::BlockPool blocks_;
  TcpCoalescer coalescer_;  // writes come one batch at a time (the packet writer's lock)
};

}  // namespace platform
