#pragma once

// Packets of a TUN device opened for offloads: the kernel hands over TCP
// super-packets of up to 64 KiB with the checksum left to us, and takes them
// back the same way. A super-packet passes the host's routing, filtering and
// delivery once instead of once per segment, which is where a tunnel's
// throughput goes on a busy machine.

#include "runtime/bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace platform {

// What precedes every packet on an offloading device: the kernel's
// virtio_net_hdr (its header does not compile as C++), fields in host order.
struct OffloadHeader {
  static constexpr std::uint8_t needsChecksum = 1;
  static constexpr std::uint8_t gsoNone = 0;
  static constexpr std::uint8_t gsoTCPv4 = 1;
  static constexpr std::uint8_t gsoECN = 0x80;

  std::uint8_t flags = 0;
  std::uint8_t gso_type = gsoNone;
  std::uint16_t hdr_len = 0;      // headers of a super-packet
  std::uint16_t gso_size = 0;     // payload of each of its segments
  std::uint16_t csum_start = 0;   // where the checksum left to the reader starts
  std::uint16_t csum_offset = 0;  // and where after that it goes
};
static_assert(sizeof(OffloadHeader) == 10);

// Turns a packet read from an offloading device into packets as they travel
// on a wire: a checksum left to the device is completed, a TCP super-packet is
// cut into segments of its `gso_size` with their own lengths, identifiers,
// sequence numbers, flags and checksums. Appends them to `out` (slices of one
// block). Returns false, appending nothing, when the header does not fit the
// packet or names an offload this side never asked for.
bool splitOffloaded(const OffloadHeader& header, std::span<const std::uint8_t> packet,
                    std::vector<runtime::SharedBytes>& out);

// Where splitOffloadedInPlace put the packets: `total` bytes from the room's
// start, cut every `stride` bytes (the last packet may be shorter). A total of
// 0 means refused; `needed` above the room's size says it was only too small.
struct OffloadSegments {
  std::size_t total = 0;
  std::size_t stride = 0;
  std::size_t needed = 0;
};

// The same in the reader's own buffer: the packet read fills the first `size`
// bytes of `room`, its segments are written from the room's start, growing
// into the rest of it.
OffloadSegments splitOffloadedInPlace(const OffloadHeader& header, std::span<std::uint8_t> room,
                                      std::size_t size);

// One write to an offloading device.
struct OffloadWrite {
  OffloadHeader header;
  std::span<const std::uint8_t> packet;
};

// Merges consecutive segments of one TCP stream into super-packets for
// writing, as the kernel's receive offload does: same addresses, ports, header
// fields and options, each segment following on from the last, all but the
// last of one size, only ACK (and PSH on the last) set, both checksums
// correct. Anything else is written as it came. Packets of one stream keep
// their order.
class TcpCoalescer {
 public:
  // The writes stay valid until the next call and while `packets` live.
  std::span<const OffloadWrite> coalesce(std::span<const runtime::SharedBytes> packets);

 private:
  struct Group {
    std::size_t first = 0;
    std::size_t last = 0;
    std::size_t count = 1;
    std::size_t payload = 0;     // bytes after the headers, all members
    std::size_t headerSize = 0;  // 0 when the first packet cannot be merged
    std::size_t segmentSize = 0;
    std::uint32_t nextSequence = 0;
  };

  std::vector<Group> groups_;
  std::vector<std::size_t> next_;        // the next member of a packet's group
  std::vector<std::size_t> openGroups_;  // groups a later packet may join
  std::vector<std::uint8_t> storage_;
  std::vector<OffloadWrite> writes_;
};

}  // namespace platform
