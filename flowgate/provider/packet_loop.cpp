#include "flowgate/provider/packet_loop.hpp"

#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/provider/flowgate_provider.hpp"
#include "runtime/spawn.hpp"

namespace flowgate {

SortedBatch sortBatch(platform::PacketBatch batch, const DNSProxy::Servers& dnsServers,
                      bool interceptDNS) {
  SortedBatch sorted;
  sortBatch(batch, dnsServers, interceptDNS, sorted);
  return sorted;
}

void sortBatch(platform::PacketBatch& batch, const DNSProxy::Servers& dnsServers, bool interceptDNS,
               SortedBatch& sorted) {
  sorted.forPool.clear();
  sorted.dnsQueries.clear();
  sorted.forPool.reserve(batch.packets.size());
  for (std::size_t i = 0; i < batch.packets.size(); ++i) {
    if (i >= batch.protocols.size() || batch.protocols[i] != platform::kFamilyIPv4) continue;
    auto& packet = batch.packets[i];
    auto metadata = PacketMetadata::parse(packet.span());
    if (!metadata) continue;
    auto& destination = interceptDNS && DNSProxy::isQuery(*metadata, dnsServers) ? sorted.dnsQueries
                                                                                 : sorted.forPool;
    destination.push_back(OutboundPacket{std::move(packet), *metadata});
  }
}

runtime::Task<void> routeRead(NodeSessionPool& pool, const std::shared_ptr<DNSProxy>& proxy,
                              LoopBuffers& buffers) {
  static const DNSProxy::Servers none;
  auto& sorted = buffers.sorted;
  sortBatch(buffers.read, proxy ? proxy->servers() : none, proxy != nullptr, sorted);
  // Each query in a task of its own: upstream answers take their time.
  for (auto& query : sorted.dnsQueries) {
    runtime::spawn(pool.strand(), proxy->processOnStrand(std::move(query.bytes), query.metadata));
  }
  sorted.dnsQueries.clear();
  if (sorted.forPool.empty()) co_return;
  // Waits only while an open session's socket takes the bytes, never for a
  // connection.
  auto routing = pool.route(std::span<const OutboundPacket>(sorted.forPool));
  co_await std::move(routing);
  // A packet kept holds its whole read block.
  sorted.forPool.clear();
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

// The engine: it runs on the pool's strand and calls the pool and the DNS
// proxy there directly, so a batch reaches a session's socket without a hop.
runtime::Task<void> Flowgate::packetLoop(std::weak_ptr<Flowgate> weak,
                                         std::shared_ptr<NodeSessionPool> pool,
                                         std::shared_ptr<platform::PacketFlow> flow,
                                         runtime::CancelToken token) {
  pool->assertOnStrand();
  LoopBuffers buffers;
  for (;;) {
    if (token.isCancelled() || weak.expired()) co_return;
    // A failed read ends the loop with its error (see startPacketLoop).
    auto reading = flow->readPacketsInto(buffers.read);
    co_await std::move(reading);
    std::shared_ptr<DNSProxy> proxy;
    if (auto self = weak.lock()) {
      std::lock_guard lock(self->mutex_);
      proxy = self->dnsProxy_;
    }
    auto routing = routeRead(*pool, proxy, buffers);
    co_await std::move(routing);
  }
}

}  // namespace flowgate
