// Offload headers and packets on arbitrary bytes. The first byte picks the
// side: 0 cuts one packet after a 10-byte header, anything else merges
// packets given as 2-byte big-endian lengths and contents. What is merged must
// cut back into exactly as many bytes as went in.

#include "platform/tun_offload.hpp"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool cut = data[0] == 0;
  ++data;
  --size;
  std::vector<runtime::SharedBytes> out;
  if (cut) {
    if (size < sizeof(platform::OffloadHeader)) return 0;
    platform::OffloadHeader header;
    std::memcpy(&header, data, sizeof header);
    bool ok = platform::splitOffloaded(header,
                                       std::span(data + sizeof header, size - sizeof header), out);
    if (ok == out.empty()) std::abort();
    return 0;
  }
  std::vector<runtime::SharedBytes> packets;
  std::size_t in = 0;
  while (size >= 2) {
    std::size_t length = std::min<std::size_t>((data[0] << 8) | data[1], size - 2);
    packets.push_back(runtime::SharedBytes::copy(std::span(data + 2, length)));
    in += length;
    data += 2 + length;
    size -= 2 + length;
  }
  platform::TcpCoalescer coalescer;
  std::size_t back = 0;
  for (const auto& write : coalescer.coalesce(packets)) {
    if (write.header.gso_type == platform::OffloadHeader::gsoNone) {
      back += write.packet.size();
      continue;
    }
    out.clear();
    if (!platform::splitOffloaded(write.header, write.packet, out)) std::abort();
    for (const auto& segment : out) back += segment.size();
  }
  if (back != in) std::abort();
  return 0;
}
