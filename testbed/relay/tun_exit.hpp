#pragma once

// The kernel exit: packets from clients are written into a TUN device of the
// relay's own, and the namespace's kernel routes them on. Packets the kernel
// sends into the device go to the session whose tunnel address they are
// addressed to (the most recently attached one when several share it).

#include "platform/tun_device.hpp"
#include "testbed/relay/exit.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>

#include <unordered_map>
#include <vector>

namespace testbed {

class TunExit final : public Exit {
 public:
  // Packets (segments of a super-packet each) read per readiness wake-up
  // before other work, the clients' writes among it, gets a turn.
  static constexpr int readBatch = 256;

  TunExit(runtime::Executor executor, platform::TunDevice device);

  void start();
  void attach(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient) override;
  void detach(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient) override;
  std::size_t send(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient,
                   std::span<const runtime::SharedBytes> packets) override;
  void stop() override;

  const platform::TunDevice& device() const { return device_; }

 private:
  runtime::Task<void> readLoop();
  void deliver(std::span<const std::uint8_t> packet);

  runtime::Executor executor_;
  platform::TunDevice device_;
  asio::posix::stream_descriptor readable_;
  std::unordered_map<std::uint32_t, std::vector<std::weak_ptr<Outbound>>> routes_;
  platform::TcpCoalescer coalescer_;
};

}  // namespace testbed
