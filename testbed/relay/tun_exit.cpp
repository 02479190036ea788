#include "testbed/relay/tun_exit.hpp"
#include "runtime/spawn.hpp"

#include "testbed/relay/packet_rules.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>

namespace testbed {

TunExit::TunExit(runtime::Executor executor, platform::TunDevice device)
    : executor_(executor),
      device_(std::move(device)),
      // A duplicate descriptor, only waited on for readiness; the device keeps its own.
      readable_(executor, ::dup(device_.nativeHandle())) {}

void TunExit::start() { runtime::spawn(executor_, readLoop()); }

void TunExit::stop() {
  boost::system::error_code ignored;
  readable_.close(ignored);
}

void TunExit::attach(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient) {
  routes_[tunnelAddress].push_back(toClient);
}

void TunExit::detach(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient) {
  auto it = routes_.find(tunnelAddress);
  if (it == routes_.end()) return;
  std::erase_if(it->second, [&](const std::weak_ptr<Outbound>& entry) {
    auto live = entry.lock();
    return !live || live == toClient;
  });
  if (it->second.empty()) routes_.erase(it);
}

std::size_t TunExit::send(std::uint32_t, const std::shared_ptr<Outbound>&,
                          std::span<const runtime::SharedBytes> packets) {
  std::size_t dropped = 0;
  if (!device_.offloading()) {
    for (const auto& packet : packets) {
      if (!device_.write(packet.span())) ++dropped;
    }
    return dropped;
  }
  for (const auto& write : coalescer_.coalesce(packets)) {
    if (!device_.write(write.header, write.packet)) ++dropped;
  }
  return dropped;
}

void TunExit::deliver(std::span<const std::uint8_t> packet) {
  if (packet.size() < 20 || (packet[0] >> 4) != 4) return;
  auto it = routes_.find(packet::destinationAddress(packet));
  if (it == routes_.end()) return;
  for (auto entry = it->second.rbegin(); entry != it->second.rend(); ++entry) {
    auto toClient = entry->lock();
    if (!toClient || toClient->isClosed()) continue;
    // A client that does not read loses packets, as behind any router.
    if (toClient->full()) return;
    auto& out = toClient->buffer();
    out.insert(out.end(), packet.begin(), packet.end());
    toClient->flush();
    return;
  }
}

runtime::Task<void> TunExit::readLoop() {
  std::array<std::uint8_t, 65536> buffer;
  std::vector<runtime::SharedBytes> segments;
  for (;;) {
    auto [error] =
        co_await readable_.async_wait(asio::posix::stream_descriptor::wait_read, runtime::asTuple);
    if (error) co_return;
    for (int delivered = 0; delivered < readBatch;) {
      std::size_t n = 0;
      platform::OffloadHeader header{};
      try {
        n = device_.offloading() ? device_.read(buffer, header) : device_.read(buffer);
      } catch (const boost::system::system_error&) {
        co_return;
      }
      if (n == 0) break;
      if (!device_.offloading()) {
        deliver(std::span(buffer.data(), n));
        ++delivered;
        continue;
      }
      segments.clear();
      platform::splitOffloaded(header, std::span(buffer.data(), n), segments);
      for (const auto& segment : segments) deliver(segment.span());
      delivered += static_cast<int>(std::max<std::size_t>(segments.size(), 1));
    }
  }
}

}  // namespace testbed
