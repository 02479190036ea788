// The DNS proxy's packet functions, checked against messages and checksums the
// tests build on their own.

#include "flowgate/routing/dns_packet.hpp"
#include "tests/support/dns/dns_messages.hpp"

#include <gtest/gtest.h>

#include <optional>

using namespace flowgate;
using dns_test::Bytes;

namespace {

const std::uint32_t client = dns_test::ip(198, 19, 0, 2);
const std::uint32_t server = dns_test::ip(198, 19, 0, 53);

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(DnsPacket, UdpReadsOnlyWholeIPv4UdpPackets) {
  const Bytes payload{1, 2, 3};
  const Bytes plain = dns_test::udpPacket(client, server, 40000, 53, payload);
  auto with = [&](std::size_t at, std::uint8_t value) {
    Bytes copy = plain;
    copy[at] = value;
    return copy;
  };
  // Options: a 24-byte header, the UDP header after it.
  Bytes options = plain;
  options[0] = 0x46;
  options.insert(options.begin() + 20, {1, 1, 1, 1});
  Bytes padded = plain;  // bytes after the UDP length are not payload
  padded.push_back(9);

  struct Case {
    const char* what;
    Bytes packet;
    bool parses;
  };
  const Case cases[] = {
      {"plain", plain, true},
      {"options skipped", options, true},
      {"trailing bytes", padded, true},
      {"27 bytes", Bytes(plain.begin(), plain.begin() + 27), false},
      {"IPv6 version", with(0, 0x65), false},
      {"TCP", with(9, 6), false},
      {"header length 16", with(0, 0x44), false},
      {"UDP length 7", with(25, 7), false},
      {"UDP length past the end", with(25, 12), false},
      {"header past the end", with(0, 0x4f), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto datagram = dns::udp(c.packet);
    ASSERT_EQ(datagram.has_value(), c.parses);
    if (!datagram) continue;
    EXPECT_EQ(datagram->sourceIP, client);
    EXPECT_EQ(datagram->destinationIP, server);
    EXPECT_EQ(datagram->sourcePort, 40000);
    EXPECT_EQ(datagram->destinationPort, 53);
    EXPECT_EQ(Bytes(datagram->payload.begin(), datagram->payload.end()), payload);
  }
}

TEST(DnsPacket, UdpPacketCarriesBothChecksums) {
  for (std::size_t size : {0u, 1u, 12u, 33u, 512u, 1401u}) {
    SCOPED_TRACE(size);
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 37 + 11);
    auto packet = dns::udpPacket(server, client, 53, 40000, payload);
    ASSERT_TRUE(packet);
    const Bytes expectedHeader = dns_test::udpPacket(server, client, 53, 40000, payload);
    // Everything but the checksums matches the independent builder.
    Bytes got = *packet;
    Bytes want = expectedHeader;
    for (std::size_t at : {10u, 11u, 26u, 27u}) got[at] = want[at] = 0;
    EXPECT_EQ(got, want);
    EXPECT_EQ((*packet)[0], 0x45);
    EXPECT_EQ((*packet)[8], 64);
    EXPECT_TRUE(dns_test::checksumsValid(*packet));
    auto parsed = dns::udp(*packet);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(Bytes(parsed->payload.begin(), parsed->payload.end()), payload);
  }
}

TEST(DnsPacket, AZeroUdpChecksumIsSentAsAllOnes) {
  // Whatever the checksum over a zero word is, that word in its place makes the
  // sum all ones and the checksum zero.
  auto probe = dns::udpPacket(server, client, 53, 40000, Bytes{0, 0});
  ASSERT_TRUE(probe);
  const Bytes cancelling{(*probe)[26], (*probe)[27]};
  auto packet = dns::udpPacket(server, client, 53, 40000, cancelling);
  ASSERT_TRUE(packet);
  EXPECT_EQ((*packet)[26], 0xff);
  EXPECT_EQ((*packet)[27], 0xff);
}

TEST(DnsPacket, UdpPacketRefusesPayloadsLongerThanIPv4Carries) {
  EXPECT_TRUE(dns::udpPacket(server, client, 53, 1, Bytes(dns::maxPayloadSize)));
  EXPECT_FALSE(dns::udpPacket(server, client, 53, 1, Bytes(dns::maxPayloadSize + 1)));
}

TEST(DnsPacket, ChecksumIsTheInternetChecksum) {
  const Bytes cases[] = {{},
                         {0xab},
                         {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7},
                         Bytes(1001, 0xff),
                         Bytes(4096, 0x80)};
  for (const auto& bytes : cases) {
    SCOPED_TRACE(bytes.size());
    EXPECT_EQ(dns::checksum(bytes), 0xffff & ~dns_test::onesComplementSum(bytes));
  }
  // RFC 1071's example sums to DDF2.
  EXPECT_EQ(dns::checksum(cases[2]), 0x220d);
}

TEST(DnsPacket, QuestionTypeAndSkipName) {
  const Bytes header(12, 0);
  struct Case {
    const char* what;
    Bytes message;
    std::optional<std::uint16_t> type;
    std::optional<std::size_t> nameEnd;  // skipName at 12
  };
  const Case cases[] = {
      {"AAAA", dns_test::query(1, "a.example", 28), 28, 23},
      {"root name", concat(header, {0, 0, 1, 0, 1}), 1, 13},
      {"63-byte label", concat(header, concat(dns_test::name(std::string(63, 'x')), {0, 5, 0, 1})),
       5, 77},
      {"pointer", concat(header, {0xc0, 0x0c, 0, 1, 0, 1}), std::nullopt, 14},
      {"label type 64", concat(header, {0x40, 0, 0, 1, 0, 1}), std::nullopt, std::nullopt},
      {"class cut short", concat(header, {1, 'a', 0, 0, 1, 0}), std::nullopt, 15},
      {"label past the end", concat(header, {5, 'a', 'b'}), std::nullopt, std::nullopt},
      {"no terminator", concat(header, {1, 'a'}), std::nullopt, std::nullopt},
      {"header only", header, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(dns::questionType(c.message), c.type);
    EXPECT_EQ(dns::skipName(c.message, 12), c.nameEnd);
  }
}

TEST(DnsPacket, AnswersAreTheARecordsThatFit) {
  using dns_test::a;
  const auto question = dns_test::query(7, "host.example", 1);
  const std::uint32_t one = dns_test::ip(203, 0, 113, 1);
  const std::uint32_t two = dns_test::ip(203, 0, 113, 2);
  const dns_test::Record cname{dns_test::typeCNAME, dns_test::name("other.example")};
  const dns_test::Record aaaa{dns_test::typeAAAA, Bytes(16, 1)};
  const dns_test::Record wideA{dns_test::typeA, Bytes(5, 1)};

  auto full = dns_test::response(question, {a(one), a(two)});
  auto lyingCount = full;
  lyingCount[7] = 3;  // a third record that is not there
  auto cutInSecond = Bytes(full.begin(), full.end() - 2);
  auto noQuestion = full;
  noQuestion[5] = 0xff;  // questions that are not there
  auto uncompressed = dns_test::response(question, {});
  uncompressed[7] = 1;
  for (auto byte :
       concat(dns_test::name("host.example"), {0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 1, 2, 3, 4})) {
    uncompressed.push_back(byte);
  }

  struct Case {
    const char* what;
    Bytes message;
    std::vector<std::uint32_t> addresses;
  };
  const Case cases[] = {
      {"two A records", full, {one, two}},
      {"CNAME then A", dns_test::response(question, {cname, a(two)}), {two}},
      {"AAAA and RDLENGTH 5 skipped", dns_test::response(question, {aaaa, wideA, a(one)}), {one}},
      {"uncompressed owner name", uncompressed, {0x01020304}},
      {"count beyond the records", lyingCount, {one, two}},
      {"second record cut short", cutInSecond, {one}},
      {"question past the end", noQuestion, {}},
      {"no answers", dns_test::response(question, {}), {}},
      {"11 bytes", Bytes(11, 0), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(dns::answers(c.message), c.addresses);
  }
}

TEST(DnsPacket, EmptyAnswerKeepsIdAndQuestion) {
  auto query = dns_test::query(0xbeef, "a.example", dns_test::typeAAAA);
  query[7] = 5;  // counts are cleared whatever they were
  query[11] = 1;
  query.push_back(0x42);  // and anything after the question is kept
  auto answer = dns::emptyAnswer(query);
  Bytes expected = query;
  expected[2] = 0x81;
  expected[3] = 0x80;
  expected[7] = 0;
  expected[11] = 0;
  EXPECT_EQ(answer, expected);
  EXPECT_EQ(dns::emptyAnswer(Bytes(11, 7)), Bytes(11, 7));
}
