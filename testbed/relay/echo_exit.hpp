#pragma once

// The user-space exit: answers ICMP echo requests, sends UDP datagrams back to
// their sender, and forwards UDP DNS queries for one service address to an
// upstream resolver, answering as if from that address.

#include "testbed/relay/exit.hpp"

#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <optional>

namespace testbed {

struct DNSForwarding {
  std::uint32_t serviceAddress;  // queries to this address, port 53
  asio::ip::udp::endpoint upstream;
};

class EchoExit final : public Exit {
 public:
  static constexpr std::chrono::seconds queryTimeout{5};
  static constexpr std::size_t maxQueriesInFlight = 256;

  EchoExit(runtime::Executor executor, std::optional<DNSForwarding> dns);

  void attach(std::uint32_t, const std::shared_ptr<Outbound>&) override {}
  void detach(std::uint32_t, const std::shared_ptr<Outbound>&) override {}
  std::size_t send(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient,
                   std::span<const runtime::SharedBytes> packets) override;
  void stop() override { stopped_ = true; }

 private:
  runtime::Task<void> forward(std::weak_ptr<Outbound> toClient, runtime::SharedBytes query);

  runtime::Executor executor_;
  std::optional<DNSForwarding> dns_;
  std::shared_ptr<std::size_t> inFlight_ = std::make_shared<std::size_t>(0);
  bool stopped_ = false;
};

}  // namespace testbed
