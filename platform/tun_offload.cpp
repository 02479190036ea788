#include "platform/tun_offload.hpp"

#include "platform/internet_checksum.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace platform {

namespace {

constexpr std::uint8_t tcpProtocol = 6;
constexpr std::size_t ipv4HeaderSize = 20;
constexpr std::size_t udpChecksumOffset = 6;
constexpr std::size_t tcpChecksumOffset = 16;
constexpr std::uint8_t flagFIN = 0x01;
constexpr std::uint8_t flagPSH = 0x08;
constexpr std::uint8_t flagACK = 0x10;
constexpr std::uint8_t flagCWR = 0x80;
constexpr std::size_t maxIPv4Length = 65535;
constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

std::uint32_t readBig32(const std::uint8_t* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
         at[3];
}
void writeBig32(std::uint8_t* at, std::uint32_t value) {
  writeBig16(at, static_cast<std::uint16_t>(value >> 16));
  writeBig16(at + 2, static_cast<std::uint16_t>(value));
}

void setIPv4Checksum(std::uint8_t* ip, std::size_t headerSize) {
  writeBig16(ip + 10, 0);
  writeBig16(ip + 10, static_cast<std::uint16_t>(~checksumFold(checksumAdd({ip, headerSize}))));
}

// Completes a checksum the sending stack left to the device: the field holds
// the pseudo-header's sum, the rest is summed from `start`.
bool completeChecksum(std::span<std::uint8_t> packet, std::size_t start, std::size_t offset) {
  if (start > packet.size() || offset > packet.size() - start ||
      packet.size() - start - offset < 2) {
    return false;
  }
  auto value = static_cast<std::uint16_t>(~checksumFold(checksumAdd(packet.subspan(start))));
  // Zero means "no checksum" in UDP.
  if (value == 0 && offset == udpChecksumOffset) value = 0xffff;
  writeBig16(packet.data() + start + offset, value);
  return true;
}

// The TCP part of a packet that may join a super-packet.
struct Segment {
  std::size_t headerSize = 0;  // IPv4 and TCP headers
  std::size_t payload = 0;
  std::uint32_t sequence = 0;
  std::uint8_t flags = 0;
};

bool mergeable(std::span<const std::uint8_t> p, Segment& segment) {
  // IPv4 without options, not a fragment, TCP.
  if (p.size() < ipv4HeaderSize + 20 || p[0] != 0x45 || p[9] != tcpProtocol) return false;
  if (readBig16(p.data() + 2) != p.size() || (readBig16(p.data() + 6) & 0x3fff) != 0) return false;
  const auto* tcp = p.data() + ipv4HeaderSize;
  std::size_t tcpHeader = std::size_t{tcp[12]} / 16 * 4;
  if (tcpHeader < 20 || ipv4HeaderSize + tcpHeader >= p.size()) return false;
  std::uint8_t flags = tcp[13];
  if ((flags & flagACK) == 0 || (flags & ~(flagACK | flagPSH)) != 0) return false;
  // A merged write's checksums are made anew and the kernel trusts them: a
  // segment damaged before the exit would be delivered instead of dropped.
  if (checksumFold(checksumAdd(p.first(ipv4HeaderSize))) != 0xffff ||
      checksumFold(
          pseudoHeaderSum(p.first(ipv4HeaderSize), tcpProtocol, p.size() - ipv4HeaderSize) +
          checksumAdd(p.subspan(ipv4HeaderSize))) != 0xffff) {
    return false;
  }
  segment = {ipv4HeaderSize + tcpHeader, p.size() - ipv4HeaderSize - tcpHeader, readBig32(tcp + 4),
             flags};
  return true;
}

// Addresses and ports: one stream, whatever its packets' other fields.
bool sameFlow(const std::uint8_t* a, const std::uint8_t* b) {
  return std::memcmp(a + 12, b + 12, 12) == 0;
}

// Everything but lengths, identifier, checksums, sequence number and PSH.
bool sameHeaders(const std::uint8_t* a, const std::uint8_t* b, std::size_t headerSize) {
  constexpr std::size_t tcp = ipv4HeaderSize;
  return std::memcmp(a, b, 2) == 0 && std::memcmp(a + 6, b + 6, 4) == 0 &&
         std::memcmp(a + tcp + 8, b + tcp + 8, 5) == 0 &&
         std::memcmp(a + tcp + 14, b + tcp + 14, 2) == 0 &&
         std::memcmp(a + tcp + 18, b + tcp + 18, headerSize - tcp - 18) == 0;
}

}  // namespace

namespace {

// Where a TCP super-packet's segments go: all but the last `headerSize` +
// `segmentSize` bytes long, one after another.
struct SuperPacket {
  std::size_t ipHeader = 0;
  std::size_t tcpHeader = 0;
  std::size_t headerSize = 0;
  std::size_t segmentSize = 0;
  std::size_t payload = 0;
  std::size_t count = 0;
  std::size_t segmentedSize() const { return count * headerSize + payload; }
};

std::optional<SuperPacket> superPacket(const OffloadHeader& header,
                                       std::span<const std::uint8_t> packet) {
  if (packet.size() < ipv4HeaderSize || (packet[0] >> 4) != 4 || packet[9] != tcpProtocol) {
    return std::nullopt;
  }
  SuperPacket layout;
  layout.ipHeader = std::size_t{packet[0] & 0x0fu} * 4;
  if (layout.ipHeader < ipv4HeaderSize || layout.ipHeader + 20 > packet.size()) return std::nullopt;
  layout.tcpHeader = std::size_t{packet[layout.ipHeader + 12]} / 16 * 4;
  layout.headerSize = layout.ipHeader + layout.tcpHeader;
  if (layout.tcpHeader < 20 || layout.headerSize > packet.size()) return std::nullopt;
  layout.segmentSize = header.gso_size;
  layout.payload = packet.size() - layout.headerSize;
  layout.count =
      layout.payload == 0 ? 1 : (layout.payload + layout.segmentSize - 1) / layout.segmentSize;
  return layout;
}

bool segmented(const OffloadHeader& header) {
  return (header.gso_type & ~OffloadHeader::gsoECN) != OffloadHeader::gsoNone &&
         header.gso_size != 0;
}

// Cuts from the last segment to the first: each segment's bytes move only
// forward, past every byte an earlier segment still has to take, and the
// first segment's headers, which every segment copies, are rewritten last.
void cutInPlace(const SuperPacket& layout, std::uint8_t* block) {
  const auto identifier = readBig16(block + 4);
  const auto sequence = readBig32(block + layout.ipHeader + 4);
  const std::uint8_t flags = block[layout.ipHeader + 13];
  for (std::size_t i = layout.count; i-- > 0;) {
    const std::size_t offset = i * layout.segmentSize;
    const std::size_t size = std::min(layout.segmentSize, layout.payload - offset);
    auto* ip = block + i * (layout.headerSize + layout.segmentSize);
    if (i > 0) {
      std::memmove(ip + layout.headerSize, block + layout.headerSize + offset, size);
      std::memcpy(ip, block, layout.headerSize);
    }
    writeBig16(ip + 2, static_cast<std::uint16_t>(layout.headerSize + size));
    writeBig16(ip + 4, static_cast<std::uint16_t>(identifier + i));
    setIPv4Checksum(ip, layout.ipHeader);

    auto* tcp = ip + layout.ipHeader;
    writeBig32(tcp + 4, static_cast<std::uint32_t>(sequence + offset));
    // As the kernel segments: FIN and PSH only on the last, CWR only on the first.
    tcp[13] = flags;
    if (i + 1 < layout.count) tcp[13] &= static_cast<std::uint8_t>(~(flagFIN | flagPSH));
    if (i > 0) tcp[13] &= static_cast<std::uint8_t>(~flagCWR);
    writeBig16(tcp + tcpChecksumOffset, 0);
    const auto sum = pseudoHeaderSum({ip, layout.ipHeader}, tcpProtocol, layout.tcpHeader + size) +
                     checksumAdd({tcp, layout.tcpHeader + size});
    writeBig16(tcp + tcpChecksumOffset, static_cast<std::uint16_t>(~checksumFold(sum)));
  }
}

}  // namespace

OffloadSegments splitOffloadedInPlace(const OffloadHeader& header, std::span<std::uint8_t> room,
                                      std::size_t size) {
  if (size > room.size()) return {};
  if (!segmented(header)) {
    if ((header.flags & OffloadHeader::needsChecksum) &&
        !completeChecksum(room.first(size), header.csum_start, header.csum_offset)) {
      return {};
    }
    return {size, size, size};
  }
  if ((header.gso_type & ~OffloadHeader::gsoECN) != OffloadHeader::gsoTCPv4) return {};
  auto layout = superPacket(header, room.first(size));
  if (!layout) return {};
  const std::size_t needed = layout->segmentedSize();
  if (needed > room.size()) return {0, 0, needed};
  cutInPlace(*layout, room.data());
  return {needed, layout->headerSize + layout->segmentSize, needed};
}

bool splitOffloaded(const OffloadHeader& header, std::span<const std::uint8_t> packet,
                    std::vector<runtime::SharedBytes>& out) {
  std::size_t needed = packet.size();
  if (segmented(header)) {
    auto layout = superPacket(header, packet);
    if (layout) needed = std::max(needed, layout->segmentedSize());
  }
  std::vector<std::uint8_t> block(needed);
  std::copy(packet.begin(), packet.end(), block.begin());
  const auto segments = splitOffloadedInPlace(header, block, packet.size());
  if (segments.total == 0) return false;
  block.resize(segments.total);
  runtime::SharedBytes shared(std::move(block));
  for (std::size_t at = 0; at < segments.total; at += segments.stride) {
    out.push_back(shared.slice(at, std::min(segments.stride, segments.total - at)));
  }
  return true;
}

std::span<const OffloadWrite> TcpCoalescer::coalesce(
    std::span<const runtime::SharedBytes> packets) {
  groups_.clear();
  writes_.clear();
  next_.assign(packets.size(), npos);

  std::vector<std::size_t>& open = openGroups_;
  open.clear();
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const auto p = packets[i].span();
    Segment segment;
    const bool tcp = p.size() >= ipv4HeaderSize + 4 && p[0] == 0x45 && p[9] == tcpProtocol;
    const bool candidate = mergeable(p, segment);
    bool joined = false;
    // A stream has one open group at most. A packet of it that does not
    // continue that group (a bare ACK, a FIN, a gap, other header fields) ends
    // it, so nothing after it is written before it.
    auto g = std::find_if(open.begin(), open.end(), [&](std::size_t index) {
      return tcp && sameFlow(packets[groups_[index].first].data(), p.data());
    });
    if (g != open.end()) {
      auto& group = groups_[*g];
      const auto& last = packets[group.last];
      joined = candidate && group.headerSize == segment.headerSize &&
               sameHeaders(packets[group.first].data(), p.data(), segment.headerSize) &&
               segment.sequence == group.nextSequence && segment.payload <= group.segmentSize &&
               last.size() - group.headerSize == group.segmentSize &&
               (last[ipv4HeaderSize + 13] & flagPSH) == 0 &&
               group.headerSize + group.payload + segment.payload <= maxIPv4Length;
      if (joined) {
        next_[group.last] = i;
        group.last = i;
        ++group.count;
        group.payload += segment.payload;
        group.nextSequence = segment.sequence + static_cast<std::uint32_t>(segment.payload);
      } else {
        open.erase(g);
      }
    }
    if (!candidate) {
      groups_.push_back({i, i, 1, 0, 0, 0, 0});
      continue;
    }
    if (!joined) {
      open.push_back(groups_.size());
      groups_.push_back({i, i, 1, segment.payload, segment.headerSize, segment.payload,
                         segment.sequence + static_cast<std::uint32_t>(segment.payload)});
    }
  }

  std::size_t merged = 0;
  for (const auto& group : groups_) {
    if (group.count > 1) merged += group.headerSize + group.payload;
  }
  storage_.resize(merged);
  std::size_t at = 0;
  for (const auto& group : groups_) {
    if (group.count == 1) {
      writes_.push_back({OffloadHeader{}, packets[group.first].span()});
      continue;
    }
    auto* ip = storage_.data() + at;
    const auto& first = packets[group.first];
    std::memcpy(ip, first.data(), group.headerSize);
    std::size_t fill = group.headerSize;
    for (auto m = group.first; m != npos; m = next_[m]) {
      const auto& member = packets[m];
      std::memcpy(ip + fill, member.data() + group.headerSize, member.size() - group.headerSize);
      fill += member.size() - group.headerSize;
    }
    writeBig16(ip + 2, static_cast<std::uint16_t>(fill));
    setIPv4Checksum(ip, ipv4HeaderSize);
    auto* tcp = ip + ipv4HeaderSize;
    tcp[13] |= packets[group.last][ipv4HeaderSize + 13] & flagPSH;
    // Partial: the pseudo-header alone, the device sums the rest per segment.
    writeBig16(
        tcp + tcpChecksumOffset,
        checksumFold(pseudoHeaderSum({ip, ipv4HeaderSize}, tcpProtocol, fill - ipv4HeaderSize)));
    OffloadHeader header{};
    header.flags = OffloadHeader::needsChecksum;
    header.gso_type = OffloadHeader::gsoTCPv4;
    header.hdr_len = static_cast<std::uint16_t>(group.headerSize);
    header.gso_size = static_cast<std::uint16_t>(group.segmentSize);
    header.csum_start = static_cast<std::uint16_t>(ipv4HeaderSize);
    header.csum_offset = static_cast<std::uint16_t>(tcpChecksumOffset);
    writes_.push_back({header, {ip, fill}});
    at += fill;
  }
  return writes_;
}

}  // namespace platform
