#pragma once

// What the packet loop does with one read: IPv4 packets with their metadata
// for the pool, in read order, except DNS queries to the tunnel's DNS
// servers, which go to the DNS proxy.

#include "flowgate/routing/dns_proxy.hpp"
#include "flowgate/transport/batch_groups.hpp"
#include "platform/packet_flow.hpp"
#include "runtime/bytes.hpp"

#include <cstdint>
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

}  // namespace flowgate
