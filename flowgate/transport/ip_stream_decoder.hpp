#pragma once

// Cuts a node's inbound byte stream into IPv4 packets by each packet's Total
// Length. Packets inside one received block are views into it; only a packet
// that straddles blocks is assembled in `pending`, and at most one exists.

#include "runtime/bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace flowgate {

class IPStreamDecoder {
 public:
  // The Total Length of the IPv4 header at `offset`: needs 4 bytes there, version
  // 4, header length at least 20 and Total Length at least the header length;
  // otherwise throws ProtocolError::invalidFrame.
  static std::size_t packetLength(std::span<const std::uint8_t> buffer, std::size_t offset);

  // Appends the whole packets completed by `chunk` to `packets`, in stream order.
  // On a bad header throws ProtocolError::invalidFrame and leaves `packets` as it
  // was; the decoder must not be used again.
  void append(const runtime::SharedBytes& chunk, std::vector<runtime::SharedBytes>& packets);
  std::vector<runtime::SharedBytes> append(const runtime::SharedBytes& chunk);

  std::size_t pendingSize() const { return pending_.size(); }
  // Moves the pending bytes to the start of `into` (at least pendingSize()
  // long) and returns their count: a reader that then reads after them and
  // appends the whole range gets the straddling packet as a slice too.
  std::size_t takePending(std::span<std::uint8_t> into);

 private:
  std::vector<std::uint8_t> pending_;
};

}  // namespace flowgate
