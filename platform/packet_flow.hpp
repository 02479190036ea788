#pragma once

// The tunnel interface as the packet loop and the packet writer see it: batches
// of packets in, each with its protocol family, and batches out.

#include "runtime/async.hpp"
#include "runtime/bytes.hpp"

#include <sys/socket.h>

#include <span>
#include <vector>

namespace platform {

inline constexpr int kFamilyIPv4 = AF_INET;
inline constexpr int kFamilyIPv6 = AF_INET6;

struct PacketBatch {
  std::vector<runtime::SharedBytes> packets;
  std::vector<int> protocols;  // the family of each packet, by index
};

class PacketFlow {
 public:
  virtual ~PacketFlow() = default;
  // Waits until at least one packet is there and returns what is waiting, up to
  // the flow's batch limit, in arrival order.
  virtual runtime::Task<PacketBatch> readPackets() = 0;
  // The same into `batch`, emptied first; its lists keep their capacity from
  // one read to the next, so a loop that keeps its batch allocates nothing.
  virtual runtime::Task<void> readPacketsInto(PacketBatch& batch) {
    auto reading = readPackets();
    batch = co_await std::move(reading);
  }
  // Packets the interface cannot take at once are dropped, as a congested
  // interface would. `protocols` may be empty: each packet's version nibble
  // tells its family.
  virtual void writePackets(std::span<const runtime::SharedBytes> packets,
                            std::span<const int> protocols) = 0;
};

// The family of an IP packet from its version nibble; 0 for anything else.
inline int packetFamily(std::span<const std::uint8_t> packet) {
  if (packet.empty()) return 0;
  switch (packet[0] >> 4) {
    case 4: return kFamilyIPv4;
    case 6: return kFamilyIPv6;
    default: return 0;
  }
}

}  // namespace platform
