#include "platform/memory_packet_flow.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>

namespace platform {

namespace asio = boost::asio;

MemoryPacketFlow::MemoryPacketFlow(const runtime::Executor& executor, std::size_t batchLimit)
    : batchLimit_(batchLimit == 0 ? 1 : batchLimit), arrival_(executor) {
  arrival_.expires_at(asio::steady_timer::time_point::max());
}

runtime::Task<PacketBatch> MemoryPacketFlow::readPackets() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (!queued_.empty()) {
        PacketBatch batch;
        while (!queued_.empty() && batch.packets.size() < batchLimit_) {
          batch.packets.push_back(std::move(queued_.front().first));
          batch.protocols.push_back(queued_.front().second);
          queued_.pop_front();
        }
        co_return batch;
      }
      arrival_.expires_at(asio::steady_timer::time_point::max());
    }
    co_await arrival_.async_wait(runtime::asTuple);
  }
}

void MemoryPacketFlow::writePackets(std::span<const runtime::SharedBytes> packets,
                                    std::span<const int> protocols) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < packets.size(); ++i) {
    written_.emplace_back(packets[i],
                          i < protocols.size() ? protocols[i] : packetFamily(packets[i].span()));
  }
}

void MemoryPacketFlow::inject(runtime::SharedBytes packet, int protocol) {
  if (protocol < 0) protocol = packetFamily(packet.span());
  {
    std::lock_guard lock(mutex_);
    queued_.emplace_back(std::move(packet), protocol);
  }
  // The timer is touched on its executor only.
  asio::post(arrival_.get_executor(), [this] { arrival_.cancel(); });
}

std::vector<std::pair<runtime::SharedBytes, int>> MemoryPacketFlow::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

}  // namespace platform
