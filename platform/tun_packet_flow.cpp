#include "platform/tun_packet_flow.hpp"

#include "platform/unique_fd.hpp"

#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace asio = boost::asio;

TunPacketFlow::TunPacketFlow(const runtime::Executor& executor, const TunDevice& device,
                             std::size_t batchLimit)
    : device_(device),
      batchLimit_(batchLimit == 0 ? 1 : batchLimit),
      // Asio's reactor owns what it watches; a duplicate keeps the device the
      // only owner of its descriptor.
      readiness_(executor, duplicateDescriptor(device.nativeHandle())),
      buffer_(65536) {}

TunPacketFlow::~TunPacketFlow() = default;

runtime::Task<PacketBatch> TunPacketFlow::readPackets() {
  PacketBatch batch;
  for (;;) {
    while (batch.packets.size() < batchLimit_) {
      if (device_.offloading()) {
        OffloadHeader header{};
        auto n = device_.read(buffer_, header);
        if (n == 0) break;
        // A packet whose header does not fit it is dropped, as a bad frame is.
        splitOffloaded(header, std::span(buffer_.data(), n), batch.packets);
      } else {
        auto n = device_.read(buffer_);
        if (n == 0) break;
        batch.packets.push_back(runtime::SharedBytes::copy(std::span(buffer_.data(), n)));
      }
      while (batch.protocols.size() < batch.packets.size()) {
        batch.protocols.push_back(packetFamily(batch.packets[batch.protocols.size()].span()));
      }
    }
    if (!batch.packets.empty()) co_return batch;
    co_await readiness_.async_wait(asio::posix::stream_descriptor::wait_read, asio::use_awaitable);
  }
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
