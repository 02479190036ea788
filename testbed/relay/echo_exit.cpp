#include "testbed/relay/echo_exit.hpp"
#include "runtime/spawn.hpp"

#include "testbed/relay/packet_rules.hpp"

#include <array>
#include <chrono>

namespace testbed {

EchoExit::EchoExit(runtime::Executor executor, std::optional<DNSForwarding> dns)
    : executor_(std::move(executor)), dns_(std::move(dns)) {}

std::size_t EchoExit::send(std::uint32_t, const std::shared_ptr<Outbound>& toClient,
                           std::span<const runtime::SharedBytes> packets) {
  std::size_t dropped = 0;
  auto& out = toClient->buffer();
  for (const auto& packet : packets) {
    if (dns_) {
      auto datagram = packet::udpDatagram(packet.span());
      if (datagram && datagram->destination == dns_->serviceAddress &&
          datagram->destinationPort == 53) {
        if (stopped_ || *inFlight_ >= maxQueriesInFlight) {
          ++dropped;
          continue;
        }
        std::weak_ptr<Outbound> weak = toClient;
        runtime::spawn(executor_, forward(weak, packet));
        continue;
      }
    }
    if (!packet::appendEchoReply(packet.span(), out)) ++dropped;
  }
  toClient->flush();
  return dropped;
}

runtime::Task<void> EchoExit::forward(std::weak_ptr<Outbound> toClient,
                                      runtime::SharedBytes query) {
  auto inFlight = inFlight_;  // the exit may be gone when this ends
  ++*inFlight;
  struct Release {
    std::shared_ptr<std::size_t> count;
    ~Release() { --*count; }
  } release{inFlight};

  auto datagram = *packet::udpDatagram(query.span());
  auto upstream = dns_->upstream;
  auto serviceAddress = dns_->serviceAddress;
  asio::ip::udp::socket socket(executor_, asio::ip::udp::v4());
  asio::steady_timer timer(executor_, queryTimeout);
  timer.async_wait([&socket](boost::system::error_code error) {
    if (!error) socket.close();
  });

  auto request = asio::buffer(datagram.payload.data(), datagram.payload.size());
  auto [sendError, sent] = co_await socket.async_send_to(request, upstream, runtime::asTuple);
  if (sendError) co_return;
  std::array<std::uint8_t, 4096> answer;
  for (;;) {
    asio::ip::udp::endpoint from;
    auto space = asio::buffer(answer);
    auto [error, n] = co_await socket.async_receive_from(space, from, runtime::asTuple);
    if (error) co_return;
    // Only the resolver's answer to this query's id counts.
    if (from != upstream || n < 2 || datagram.payload.size() < 2 ||
        answer[0] != datagram.payload[0] || answer[1] != datagram.payload[1]) {
      continue;
    }
    auto out = toClient.lock();
    if (!out || out->isClosed()) co_return;
    packet::appendUDPPacket(out->buffer(), serviceAddress, 53, datagram.source, datagram.sourcePort,
                            std::span(answer.data(), n));
    out->flush();
    co_return;
  }
}

}  // namespace testbed
