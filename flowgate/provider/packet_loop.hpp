#pragma once

// What the packet loop does with one read: IPv4 packets with their metadata
// for the pool, in read order, except DNS queries to the tunnel's DNS
// servers, which go to the DNS proxy.

#include "flowgate/routing/dns_proxy.hpp"
#include "flowgate/transport/batch_groups.hpp"
#include "flowgate/transport/node_session_pool.hpp"
#include "platform/packet_flow.hpp"
#include "runtime/bytes.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace flowgate {

struct SortedBatch {
  std::vector<OutboundPacket> forPool;
  std::vector<OutboundPacket> dnsQueries;
};

// Each packet is parsed once, here. `interceptDNS` is false when there is no
// DNS proxy: queries then go to the pool.
SortedBatch sortBatch(platform::PacketBatch batch, const DNSProxy::Servers& dnsServers,
                      bool interceptDNS);
// The same into `sorted`, emptied first, taking the packets out of `batch`.
void sortBatch(platform::PacketBatch& batch, const DNSProxy::Servers& dnsServers, bool interceptDNS,
               SortedBatch& sorted);

// What the loop keeps from one read to the next: its lists keep their
// capacity, so a read like the last allocates nothing.
struct LoopBuffers {
  platform::PacketBatch read;
  SortedBatch sorted;
};

// What the loop does with the read in `buffers`, on the pool's strand: DNS
// queries go to `proxy` (when there is one), each in a task of its own; the
// rest to the pool. Completes once the pool has taken them.
runtime::Task<void> routeRead(NodeSessionPool& pool, const std::shared_ptr<DNSProxy>& proxy,
                              LoopBuffers& buffers);

}  // namespace flowgate
