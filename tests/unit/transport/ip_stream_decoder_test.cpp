#include "flowgate/transport/ip_stream_decoder.hpp"
#include "flowgate/errors/protocol_error.hpp"
#include "packets.hpp"

#include <gtest/gtest.h>

#include <random>

using flowgate::IPStreamDecoder;
using flowgate::ProtocolError;
using runtime::SharedBytes;

namespace {

std::vector<std::uint8_t> concat(const std::vector<std::vector<std::uint8_t>>& packets) {
  std::vector<std::uint8_t> stream;
  for (const auto& p : packets) stream.insert(stream.end(), p.begin(), p.end());
  return stream;
}

SharedBytes bytes(std::span<const std::uint8_t> span) { return SharedBytes::copy(span); }

runtime::ErrorCode appendError(IPStreamDecoder& decoder, const SharedBytes& chunk,
                               std::vector<SharedBytes>& out) {
  try {
    decoder.append(chunk, out);
  } catch (const runtime::SystemError& e) {
    return e.code();
  }
  return {};
}

}  // namespace

TEST(PacketLength, ChecksVersionHeaderLengthAndTotal) {
  auto p = ipv4Packet(60);
  EXPECT_EQ(IPStreamDecoder::packetLength(p, 0), 60u);
  EXPECT_EQ(IPStreamDecoder::packetLength(std::span(p).first(4), 0), 60u);  // 4 bytes suffice

  auto ipv6 = p;
  ipv6[0] = 0x60;
  auto shortHeader = ipv4Packet(60, 0, 4);
  auto totalBelowHeader = ipv4Packet(60, 0, 6);
  totalBelowHeader[3] = 23;
  for (const auto& bad : {ipv6, shortHeader, totalBelowHeader}) {
    EXPECT_THROW(IPStreamDecoder::packetLength(bad, 0), runtime::SystemError);
  }
  EXPECT_THROW(IPStreamDecoder::packetLength(std::span(p).first(3), 0), runtime::SystemError);
  EXPECT_THROW(IPStreamDecoder::packetLength(p, 57), runtime::SystemError);
  EXPECT_THROW(IPStreamDecoder::packetLength(p, 61), runtime::SystemError);
}

TEST(StreamDecoding, WholePacketsInOneBlockAreViewsIntoIt) {
  auto stream = concat({ipv4Packet(20, 1), ipv4Packet(1500, 2), ipv4Packet(24, 3, 6)});
  auto block = bytes(stream);
  IPStreamDecoder decoder;
  auto packets = decoder.append(block);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[1].size(), 1500u);
  EXPECT_EQ(packets[2].size(), 24u);
  for (const auto& p : packets) EXPECT_TRUE(p.sharesStorageWith(block));
  EXPECT_EQ(packets[1].data(), block.data() + 20);
  EXPECT_EQ(decoder.pendingSize(), 0u);
}

TEST(StreamDecoding, TwoPacketsAndThreeBytesThenTheRest) {
  auto third = ipv4Packet(100, 7);
  auto stream = concat({ipv4Packet(40, 5), ipv4Packet(60, 6), third});
  IPStreamDecoder decoder;
  auto first = decoder.append(bytes(std::span(stream).first(103)));
  EXPECT_EQ(first.size(), 2u);
  EXPECT_EQ(decoder.pendingSize(), 3u);
  auto rest = decoder.append(bytes(std::span(stream).subspan(103)));
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0], bytes(third));
  EXPECT_EQ(decoder.pendingSize(), 0u);
}

TEST(StreamDecoding, OneByteAtATimeYieldsEachPacketWhenItsLastByteArrives) {
  std::vector<std::vector<std::uint8_t>> packets = {ipv4Packet(20, 1), ipv4Packet(21, 2),
                                                    ipv4Packet(576, 3)};
  auto stream = concat(packets);
  IPStreamDecoder decoder;
  std::vector<SharedBytes> out;
  std::vector<std::size_t> completedAt;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    auto before = out.size();
    decoder.append(bytes(std::span(stream).subspan(i, 1)), out);
    if (out.size() != before) completedAt.push_back(i);
  }
  EXPECT_EQ(completedAt, (std::vector<std::size_t>{19, 40, 616}));
  ASSERT_EQ(out.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(out[i], bytes(packets[i]));
}

TEST(StreamDecoding, EmptyChunkChangesNothing) {
  auto p = ipv4Packet(50);
  IPStreamDecoder decoder;
  decoder.append(bytes(std::span(p).first(10)));
  EXPECT_TRUE(decoder.append(SharedBytes()).empty());
  EXPECT_EQ(decoder.pendingSize(), 10u);
  EXPECT_EQ(decoder.append(bytes(std::span(p).subspan(10))).size(), 1u);
}

TEST(StreamDecoding, BadHeadersFailTheWholeCall) {
  auto ipv6 = ipv4Packet(40);
  ipv6[0] = 0x60;
  IPStreamDecoder decoder;
  std::vector<SharedBytes> out;
  EXPECT_EQ(appendError(decoder, bytes(ipv6), out), ProtocolError::invalidFrame);

  // A bad header after good packets discards the packets of that call, and only those.
  IPStreamDecoder second;
  auto earlier = ipv4Packet(30);
  second.append(bytes(earlier), out);
  ASSERT_EQ(out.size(), 1u);
  auto badAfterGood = concat({ipv4Packet(20), ipv4Packet(40, 0, 4)});
  EXPECT_EQ(appendError(second, bytes(badAfterGood), out), ProtocolError::invalidFrame);
  EXPECT_EQ(out.size(), 1u);

  // A straddling packet whose header turns out bad fails once its 4 bytes are in.
  IPStreamDecoder third;
  auto bad = ipv4Packet(40, 0, 3);
  third.append(bytes(std::span(bad).first(2)), out);
  EXPECT_EQ(appendError(third, bytes(std::span(bad).subspan(2)), out), ProtocolError::invalidFrame);
}

TEST(StreamDecoding, RandomChunkingMatchesTheWholeStream) {
  std::mt19937 rng(12345);
  std::vector<std::vector<std::uint8_t>> packets;
  for (int i = 0; i < 400; ++i) {
    auto words = static_cast<std::uint8_t>(5 + rng() % 11);
    auto length = std::max<std::size_t>(words * 4, 20 + rng() % 1500);
    packets.push_back(ipv4Packet(length, static_cast<std::uint8_t>(i), words));
  }
  auto stream = concat(packets);
  for (int round = 0; round < 20; ++round) {
    IPStreamDecoder decoder;
    std::vector<SharedBytes> out;
    for (std::size_t at = 0; at < stream.size();) {
      auto n = std::min<std::size_t>(stream.size() - at, rng() % 3000);
      decoder.append(bytes(std::span(stream).subspan(at, n)), out);
      at += n;
    }
    ASSERT_EQ(out.size(), packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) ASSERT_EQ(out[i], bytes(packets[i])) << i;
  }
}

TEST(StreamDecoding, PendingBytesMovedAheadOfTheNextReadMakeEveryPacketASlice) {
  std::vector<std::vector<std::uint8_t>> packets;
  for (std::size_t size : {60, 1400, 20, 900, 1500}) packets.push_back(ipv4Packet(size));
  const auto stream = concat(packets);
  IPStreamDecoder decoder;
  std::vector<SharedBytes> out;
  // Reads of 700 bytes, each into a block of its own behind the bytes carried over.
  for (std::size_t at = 0; at < stream.size(); at += 700) {
    std::vector<std::uint8_t> block(decoder.pendingSize() + 700);
    const auto carried = decoder.takePending(block);
    EXPECT_EQ(decoder.pendingSize(), 0u);
    const auto n = std::min<std::size_t>(700, stream.size() - at);
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), n,
                block.begin() + static_cast<std::ptrdiff_t>(carried));
    block.resize(carried + n);
    const SharedBytes chunk(std::move(block));
    const auto before = out.size();
    decoder.append(chunk, out);
    for (auto i = before; i < out.size(); ++i) EXPECT_TRUE(out[i].sharesStorageWith(chunk));
  }
  ASSERT_EQ(out.size(), packets.size());
  for (std::size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(out[i], SharedBytes(packets[i])) << i;
}
