// Super-packets of an offloading TUN device: cut into segments a receiver
// accepts, and merged back only where the kernel could cut them again into the
// very same segments.

#include "platform/tun_offload.hpp"
#include "platform/internet_checksum.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <gtest/gtest.h>

#include <numeric>

using platform::OffloadHeader;
using platform::splitOffloaded;
using platform::TcpCoalescer;
using runtime::SharedBytes;

namespace {

constexpr std::uint8_t ACK = 0x10, PSH = 0x08, FIN = 0x01, CWR = 0x80, SYN = 0x02;

struct Tcp {
  std::uint32_t source = 0xC6120001;       // 198.18.0.1
  std::uint32_t destination = 0xCB007150;  // 203.0.113.80
  std::uint16_t sourcePort = 40000, destinationPort = 5201;
  std::uint32_t sequence = 1000, acknowledgement = 77;
  std::uint8_t flags = ACK;
  std::uint16_t identifier = 500;
  std::size_t options = 12;  // timestamps, as Linux sends them
  std::uint8_t timestamp = 1;
};

void put32(std::uint8_t* at, std::uint32_t v) {
  platform::writeBig16(at, static_cast<std::uint16_t>(v >> 16));
  platform::writeBig16(at + 2, static_cast<std::uint16_t>(v));
}

// A TCP/IPv4 packet with `payload` bytes counting up from `first`, both
// checksums set.
std::vector<std::uint8_t> tcpPacket(const Tcp& t, std::size_t payload, std::uint8_t first = 0) {
  const std::size_t tcpHeader = 20 + t.options;
  std::vector<std::uint8_t> p(20 + tcpHeader + payload);
  p[0] = 0x45;
  platform::writeBig16(&p[2], static_cast<std::uint16_t>(p.size()));
  platform::writeBig16(&p[4], t.identifier);
  p[6] = 0x40;  // DF
  p[8] = 64;
  p[9] = 6;
  put32(&p[12], t.source);
  put32(&p[16], t.destination);
  auto* tcp = &p[20];
  platform::writeBig16(tcp, t.sourcePort);
  platform::writeBig16(tcp + 2, t.destinationPort);
  put32(tcp + 4, t.sequence);
  put32(tcp + 8, t.acknowledgement);
  tcp[12] = static_cast<std::uint8_t>(tcpHeader / 4 << 4);
  tcp[13] = t.flags;
  platform::writeBig16(tcp + 14, 501);
  for (std::size_t i = 0; i < t.options; ++i) tcp[20 + i] = i == t.options - 1 ? t.timestamp : 1;
  std::iota(p.begin() + static_cast<std::ptrdiff_t>(20 + tcpHeader), p.end(), first);
  platform::writeBig16(&p[10], static_cast<std::uint16_t>(
                                   ~platform::checksumFold(platform::checksumAdd({p.data(), 20}))));
  auto sum = platform::pseudoHeaderSum({p.data(), 20}, 6, tcpHeader + payload) +
             platform::checksumAdd({tcp, tcpHeader + payload});
  platform::writeBig16(tcp + 16, static_cast<std::uint16_t>(~platform::checksumFold(sum)));
  return p;
}

// The segments a stream of `sizes` payloads is sent as, identifiers and
// sequence numbers following on.
std::vector<SharedBytes> stream(Tcp t, std::initializer_list<std::size_t> sizes) {
  std::vector<SharedBytes> packets;
  for (auto size : sizes) {
    packets.emplace_back(tcpPacket(t, size, static_cast<std::uint8_t>(t.sequence)));
    t.sequence += static_cast<std::uint32_t>(size);
    ++t.identifier;
  }
  return packets;
}

bool checksumsHold(std::span<const std::uint8_t> p) {
  if (platform::checksumFold(platform::checksumAdd(p.first(20))) != 0xffff) return false;
  auto sum = platform::pseudoHeaderSum(p.first(20), p[9], p.size() - 20) +
             platform::checksumAdd(p.subspan(20));
  return platform::checksumFold(sum) == 0xffff;
}

// What the kernel hands over for one TSO send: the headers of the first
// segment, every payload, the checksum field seeded with the pseudo-header.
std::vector<std::uint8_t> superPacket(const std::vector<SharedBytes>& segments) {
  std::vector<std::uint8_t> p(segments[0].begin(), segments[0].end());
  const std::size_t headers = 20 + (p[32] >> 4) * 4;
  for (std::size_t i = 1; i < segments.size(); ++i) {
    p.insert(p.end(), segments[i].begin() + static_cast<std::ptrdiff_t>(headers),
             segments[i].end());
  }
  p[33] = segments.back()[33];
  platform::writeBig16(&p[2], static_cast<std::uint16_t>(p.size()));
  platform::writeBig16(
      &p[36], platform::checksumFold(platform::pseudoHeaderSum({p.data(), 20}, 6, p.size() - 20)));
  return p;
}

OffloadHeader tsoHeader(std::uint16_t segmentSize) {
  OffloadHeader header;
  header.flags = OffloadHeader::needsChecksum;
  header.gso_type = OffloadHeader::gsoTCPv4;
  header.gso_size = segmentSize;
  header.csum_start = 20;
  header.csum_offset = 16;
  return header;
}

TEST(TunOffload, CutsASuperPacketIntoTheSegmentsTheSenderMeant) {
  Tcp t;
  t.flags = ACK | PSH | FIN | CWR;
  std::vector<SharedBytes> expected;
  Tcp each = t;
  for (std::size_t i = 0; i < 3; ++i) {
    each.flags = static_cast<std::uint8_t>(ACK | (i == 0 ? CWR : 0) | (i == 2 ? PSH | FIN : 0));
    auto size = i == 2 ? 1000u : 1348u;
    expected.emplace_back(tcpPacket(each, size, static_cast<std::uint8_t>(each.sequence)));
    each.sequence += size;
    ++each.identifier;
  }
  auto packet = superPacket(expected);
  packet[33] = t.flags;

  std::vector<SharedBytes> out;
  ASSERT_TRUE(splitOffloaded(tsoHeader(1348), packet, out));
  ASSERT_EQ(out.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(checksumsHold(out[i].span())) << i;
    EXPECT_EQ(out[i], expected[i]) << i;
  }
}

TEST(TunOffload, CompletesAChecksumLeftToTheDevice) {
  // UDP with only the pseudo-header's sum in its field, as a stack hands it to
  // a device that offers checksum offload.
  auto udp = testsupport::udpPacket(0xC6120001, 5353, 0xC6120002, 53, "abcde");
  platform::writeBig16(&udp[26],
                       platform::checksumFold(platform::pseudoHeaderSum({udp.data(), 20}, 17, 13)));
  OffloadHeader header;
  header.flags = OffloadHeader::needsChecksum;
  header.csum_start = 20;
  header.csum_offset = 6;
  std::vector<SharedBytes> out;
  ASSERT_TRUE(splitOffloaded(header, udp, out));
  ASSERT_TRUE(splitOffloaded(OffloadHeader{}, udp, out));  // taken as it is
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(testsupport::parse(out[0].span()).transportChecksumOK);
  EXPECT_EQ(out[1], SharedBytes::copy(std::span<const std::uint8_t>(udp)));
}

TEST(TunOffload, RefusesHeadersThatDoNotFitThePacket) {
  auto packet = tcpPacket(Tcp{}, 3000);
  auto beyond = tsoHeader(0);
  beyond.gso_type = 0;
  beyond.csum_start = static_cast<std::uint16_t>(packet.size() - 17);  // field past the end
  auto udpSegmentation = tsoHeader(1400);
  udpSegmentation.gso_type = 3;
  auto ipv6 = tsoHeader(1400);
  ipv6.gso_type = 4;
  auto truncated = std::vector<std::uint8_t>(packet.begin(), packet.begin() + 30);
  for (const auto& [header, bytes] : {std::pair{beyond, packet},
                                      {udpSegmentation, packet},
                                      {ipv6, packet},
                                      {tsoHeader(1400), truncated}}) {
    std::vector<SharedBytes> out;
    EXPECT_FALSE(splitOffloaded(header, bytes, out));
    EXPECT_TRUE(out.empty());
  }
}

// The writes for `packets`, each cut again as the kernel would.
std::vector<SharedBytes> writtenAndCut(TcpCoalescer& coalescer,
                                       const std::vector<SharedBytes>& packets,
                                       std::vector<std::size_t>* writeSizes = nullptr) {
  std::vector<SharedBytes> out;
  for (const auto& write : coalescer.coalesce(packets)) {
    if (writeSizes) writeSizes->push_back(write.packet.size());
    EXPECT_TRUE(splitOffloaded(write.header, write.packet, out));
  }
  return out;
}

TEST(TunOffload, MergesAStreamIntoOneWriteThatCutsBackIntoTheSameSegments) {
  Tcp t;
  auto segments = stream(t, {1348, 1348, 1348, 1348, 1348, 1348, 1348, 1348, 1348, 1348});
  Tcp last = t;
  last.sequence += 13480;
  last.identifier += 10;
  last.flags = ACK | PSH;  // PSH on the last one joins too
  segments.emplace_back(tcpPacket(last, 200, static_cast<std::uint8_t>(last.sequence)));
  TcpCoalescer coalescer;
  std::vector<std::size_t> sizes;
  auto out = writtenAndCut(coalescer, segments, &sizes);
  EXPECT_EQ(sizes.size(), 1u);
  EXPECT_EQ(out, segments);

  // Completed as a device completes it, the partial checksum is the whole's.
  auto write = coalescer.coalesce(segments)[0];
  std::vector<std::uint8_t> whole(write.packet.begin(), write.packet.end());
  auto* field = &whole[write.header.csum_start + write.header.csum_offset];
  platform::writeBig16(field, static_cast<std::uint16_t>(~platform::checksumFold(
                                  platform::checksumAdd(std::span(whole).subspan(20)))));
  EXPECT_TRUE(checksumsHold(whole));
  EXPECT_EQ(write.header.gso_size, 1348);
  EXPECT_EQ(write.header.hdr_len, 52);
}

TEST(TunOffload, KeepsApartWhatCannotBeCutBackTheSameWay) {
  Tcp t;
  Tcp other = t;
  other.sourcePort = 40001;
  auto a = stream(t, {1000, 1000, 1000});
  auto b = stream(other, {1000, 1000});
  Tcp gap = t;
  gap.sequence += 5000;
  Tcp afterA = t;
  afterA.sequence += 3000;
  afterA.identifier += 3;
  Tcp resent = t;
  resent.timestamp = 2;
  Tcp otherOptions = afterA;
  otherOptions.timestamp = 2;
  Tcp pushed = t;
  pushed.flags = ACK | PSH;
  Tcp afterPushed = t;
  afterPushed.sequence += 1000;
  ++afterPushed.identifier;
  Tcp syn = t;
  syn.flags = SYN | ACK;
  SharedBytes icmp(testsupport::icmpEchoRequest(t.source, t.destination, 1, 1, "ping"));

  struct Case {
    const char* name;
    std::vector<SharedBytes> packets;
    std::size_t writes;
  };
  auto join = [](std::initializer_list<std::vector<SharedBytes>> parts) {
    std::vector<SharedBytes> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  auto one = [](const Tcp& tcp, std::size_t size) {
    return std::vector<SharedBytes>{SharedBytes(tcpPacket(tcp, size))};
  };
  auto damaged = [](const SharedBytes& packet, std::size_t at) {
    std::vector<std::uint8_t> bytes(packet.begin(), packet.end());
    bytes[at] ^= 0x40;
    return SharedBytes(std::move(bytes));
  };
  std::vector<Case> cases = {
      {"two interleaved streams merge each", join({{a[0], b[0], a[1], b[1], a[2]}}), 2},
      {"a gap in the sequence", join({a, one(gap, 1000)}), 2},
      {"a short segment ends the run", join({stream(t, {1000, 500, 1000})}), 2},
      {"a larger segment starts anew", join({stream(t, {500, 1000})}), 2},
      {"PSH ends the run", join({one(pushed, 1000), one(afterPushed, 1000)}), 2},
      {"different options", join({a, one(otherOptions, 1000)}), 2},
      {"a resent segment of the stream stays in its place",
       join({{a[0]}, one(resent, 1000), {a[1]}}), 3},
      {"a bare ACK of the stream stays in its place", join({{a[0]}, one(t, 0), {a[1]}}), 3},
      {"SYN is written alone", join({one(syn, 0), a}), 2},
      {"other protocols pass", join({{a[0], icmp, a[1]}}), 2},
      // Checksums made anew would hide the damage from the kernel.
      {"a damaged payload is written alone, as it came", join({{a[0], damaged(a[1], 300), a[2]}}),
       3},
      {"so is a damaged IPv4 header", join({{a[0], damaged(a[1], 10), a[2]}}), 3},
  };
  for (const auto& c : cases) {
    TcpCoalescer coalescer;
    std::vector<std::size_t> sizes;
    auto out = writtenAndCut(coalescer, c.packets, &sizes);
    EXPECT_EQ(sizes.size(), c.writes) << c.name;
    // Nothing lost or changed, and each stream in its order.
    auto byStream = [](std::vector<SharedBytes> packets) {
      std::stable_sort(packets.begin(), packets.end(), [](const auto& x, const auto& y) {
        return std::lexicographical_compare(x.begin() + 12, x.begin() + 24, y.begin() + 12,
                                            y.begin() + 24);
      });
      return packets;
    };
    EXPECT_EQ(byStream(out), byStream(c.packets)) << c.name;
  }
}

}  // namespace

TEST(TunOffload, CutsInTheReadersRoomWhenItHoldsEverySegment) {
  Tcp t;
  t.options = 0;
  auto segments = stream(t, {1000, 1000, 1000, 10});
  const auto packet = superPacket(segments);
  const std::size_t needed = 4 * 40 + 3010;
  // One byte short: refused, saying what it needs, and the packet left as read.
  std::vector<std::uint8_t> room(needed - 1);
  std::copy(packet.begin(), packet.end(), room.begin());
  auto cut = platform::splitOffloadedInPlace(tsoHeader(1000), room, packet.size());
  EXPECT_EQ(cut.total, 0u);
  EXPECT_EQ(cut.needed, needed);
  EXPECT_TRUE(std::equal(packet.begin(), packet.end(), room.begin()));

  room.push_back(0);
  cut = platform::splitOffloadedInPlace(tsoHeader(1000), room, packet.size());
  ASSERT_EQ(cut.total, needed);
  EXPECT_EQ(cut.stride, 1040u);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const auto at = i * cut.stride;
    EXPECT_TRUE(std::equal(segments[i].begin(), segments[i].end(),
                           room.begin() + static_cast<std::ptrdiff_t>(at)))
        << i;
  }
}
