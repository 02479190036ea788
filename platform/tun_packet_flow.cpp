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
      auto n = device_.read(buffer_);
      if (n == 0) break;
      auto packet = runtime::SharedBytes::copy(std::span(buffer_.data(), n));
      batch.protocols.push_back(packetFamily(packet.span()));
      batch.packets.push_back(std::move(packet));
    }
    if (!batch.packets.empty()) co_return batch;
    co_await readiness_.async_wait(asio::posix::stream_descriptor::wait_read, asio::use_awaitable);
  }
}

void TunPacketFlow::writePackets(std::span<const runtime::SharedBytes> packets,
                                 std::span<const int>) {
  // The device carries the family in the packet itself.
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
