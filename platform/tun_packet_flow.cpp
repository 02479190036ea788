#include "platform/tun_packet_flow.hpp"

#include "platform/unique_fd.hpp"

#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

namespace asio = boost::asio;

namespace {

// Room for the largest packet a read returns, and for what cutting a
// super-packet into segments of the smallest usual size adds to it; rarer
// cuts that need more go through a copy of their own.
constexpr std::size_t kLargestRead = 65536;
constexpr std::size_t kReadRoom = kLargestRead + 16384;
// Blocks of a few reads' room; a few serve a flow, as each is reused once its
// packets are sent. A packet kept for long keeps its whole block.
constexpr std::size_t kBlockSize = 2 * kReadRoom;
constexpr std::size_t kKeptBlocks = 8;

}  // namespace

TunPacketFlow::TunPacketFlow(const runtime::Executor& executor, const TunDevice& device,
                             std::size_t batchLimit)
    : device_(device),
      batchLimit_(batchLimit == 0 ? 1 : batchLimit),
      // Asio's reactor owns what it watches; a duplicate keeps the device the
      // only owner of its descriptor.
      readiness_(executor, duplicateDescriptor(device.nativeHandle())),
      blocks_(kBlockSize, kKeptBlocks) {}

TunPacketFlow::~TunPacketFlow() = default;

runtime::Task<PacketBatch> TunPacketFlow::readPackets() {
  PacketBatch batch;
  batch.packets.reserve(batchLimit_);
  batch.protocols.reserve(batchLimit_);
  auto reading = readPacketsInto(batch);
  co_await std::move(reading);
  co_return batch;
}

runtime::Task<void> TunPacketFlow::readPacketsInto(PacketBatch& batch) {
  batch.packets.clear();
  batch.protocols.clear();
  for (;;) {
    // The last read found the device empty: wait first instead of asking
    // again (the wait reports a packet that came meanwhile at once).
    const bool waited = drained_;
    if (waited) {
      co_await readiness_.async_wait(asio::posix::stream_descriptor::wait_read,
                                     asio::use_awaitable);
    }
    drained_ = false;
    while (batch.packets.size() < batchLimit_) {
      if (!readOne(batch)) {
        drained_ = true;
        break;
      }
      while (batch.protocols.size() < batch.packets.size()) {
        batch.protocols.push_back(packetFamily(batch.packets[batch.protocols.size()].span()));
      }
      // The first read after a quiet spell goes out at once: asking again
      // first, which mostly finds nothing then, would delay it. The next
      // call asks, and batches whatever came meanwhile.
      if (waited) break;
    }
    if (!batch.packets.empty()) co_return;
  }
}

bool TunPacketFlow::readOne(PacketBatch& batch) {
  auto room = blocks_.reserve(kReadRoom);
  if (!device_.offloading()) {
    auto n = device_.read(room);
    if (n == 0) return false;
    batch.packets.push_back(blocks_.commit(n));
    return true;
  }
  OffloadHeader header{};
  auto n = device_.read(room.first(kLargestRead), header);
  if (n == 0) return false;
  const auto segments = splitOffloadedInPlace(header, room, n);
  if (segments.total == 0) {
    // A packet whose header does not fit it is dropped, as a bad frame is.
    if (segments.needed > room.size()) splitOffloaded(header, room.first(n), batch.packets);
    return true;
  }
  for (std::size_t at = 0; at < segments.total; at += segments.stride) {
    batch.packets.push_back(blocks_.commit(std::min(segments.stride, segments.total - at)));
  }
  return true;
}

void TunPacketFlow::writePackets(std::span<const runtime::SharedBytes> packets,
                                 std::span<const int>) {
  // The device carries the family in the packet itself.
  if (device_.offloading()) {
    for (const auto& write : coalescer_.coalesce(packets)) {
      if (write.packet.empty()) continue;
      try {
        device_.write(write.header, write.packet);
      } catch (const boost::system::system_error&) {
        // A malformed packet is refused by the kernel (EINVAL); the rest still go.
      }
    }
    return;
  }
  for (const auto& packet : packets) {
    if (packet.empty()) continue;
    try {
      device_.write(packet.span());
    } catch (const boost::system::system_error&) {
      // A malformed packet is refused by the kernel (EINVAL); the rest still go.
    }
  }
}

void TunPacketFlow::cancel() { readiness_.cancel(); }

}  // namespace platform
