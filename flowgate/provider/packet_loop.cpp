#include "flowgate/provider/packet_loop.hpp"

#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/provider/flowgate_provider.hpp"
#include "runtime/spawn.hpp"

namespace flowgate {

bool isDNSQuery(std::span<const std::uint8_t> packet) {
  if (packet.size() < 28) return false;
  std::size_t headerLength = std::size_t{packet[0] & 0x0fu} * 4;
  if (headerLength < 20 || packet.size() < headerLength + 8) return false;
  auto port =
      static_cast<std::uint16_t>((packet[headerLength + 2] << 8) | packet[headerLength + 3]);
  return port == 53;
}

SortedBatch sortBatch(platform::PacketBatch batch,
                      const std::unordered_set<std::uint32_t>& dnsServers, bool interceptDNS) {
  SortedBatch sorted;
  sorted.forPool.reserve(batch.packets.size());
  for (std::size_t i = 0; i < batch.packets.size(); ++i) {
    if (i >= batch.protocols.size() || batch.protocols[i] != platform::kFamilyIPv4) continue;
    auto& packet = batch.packets[i];
    auto metadata = PacketMetadata::parse(packet.span());
    if (!metadata) continue;
    if (interceptDNS && metadata->protocolNumber == PacketMetadata::udp &&
        dnsServers.contains(metadata->destination) && isDNSQuery(packet.span())) {
      sorted.dnsQueries.push_back(std::move(packet));
      continue;
    }
    sorted.forPool.push_back(OutboundPacket{std::move(packet), *metadata});
  }
  return sorted;
}

void Flowgate::startPacketLoop(std::shared_ptr<NodeSessionPool> pool, std::uint64_t run) {
  auto loop = newLoop(&Flowgate::packetTask_);
  // On the pool's strand a batch is handed over without a hop between threads;
  // batches still reach the pool one at a time, in read order.
  auto strand = pool->strand();
  auto token = loop->cancel.token();
  std::weak_ptr<Flowgate> weak = weak_from_this();
  auto reading = packetLoop(weak, std::move(pool), env_.packetFlow, token);
  // The one place the loop's end is seen: unless stop ended it, the tunnel
  // fails, so no status stays connected behind a loop that is gone.
  runtime::spawn(strand,
                 [](std::weak_ptr<Flowgate> owner, runtime::Task<void> running,
                    runtime::CancelToken cancelled, std::uint64_t number) -> runtime::Task<void> {
                   std::exception_ptr error;
                   try {
                     co_await std::move(running);
                   } catch (...) {
                     error = std::current_exception();
                   }
                   if (cancelled.isCancelled()) co_return;
                   if (!error) {
                     error = std::make_exception_ptr(
                         runtime::SystemError(make_error_code(ProtocolError::connectionClosed)));
                   }
                   if (auto self = owner.lock()) self->failTunnel(number, error);
                 }(weak, std::move(reading), token, run));
}

runtime::Task<void> Flowgate::packetLoop(std::weak_ptr<Flowgate> weak,
                                         std::shared_ptr<NodeSessionPool> pool,
                                         std::shared_ptr<platform::PacketFlow> flow,
                                         runtime::CancelToken token) {
  auto executor = co_await runtime::asio::this_coro::executor;
  for (;;) {
    if (token.isCancelled() || weak.expired()) co_return;
    // A failed read ends the loop with its error (see startPacketLoop).
    auto reading = flow->readPackets();
    auto batch = co_await std::move(reading);
    std::shared_ptr<const std::unordered_set<std::uint32_t>> dnsServers;
    std::shared_ptr<DNSProxy> proxy;
    if (auto self = weak.lock()) {
      std::lock_guard lock(self->mutex_);
      dnsServers = self->dnsServerIPv4_;
      proxy = self->dnsProxy_;
    }
    static const std::unordered_set<std::uint32_t> none;
    auto sorted = sortBatch(std::move(batch), dnsServers ? *dnsServers : none, proxy != nullptr);
    for (auto& query : sorted.dnsQueries)
      runtime::spawn(executor, proxy->process(std::move(query)));
    if (sorted.forPool.empty()) continue;
    try {
      auto submitting = pool->submitBatch(std::move(sorted.forPool));
      co_await std::move(submitting);
    } catch (...) {
      // Packets that cannot be sent are dropped.
    }
  }
}

}  // namespace flowgate
