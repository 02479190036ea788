#include "flowgate/routing/geoip_error.hpp"
#include "geoip_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace geoip_test;
using flowgate::GeoIPError;
using flowgate::geoip::decode;
using flowgate::geoip::DirectRecord;
using flowgate::geoip::encode;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Bytes = std::vector<std::uint8_t>;

void expectInvalidFormat(const Bytes& bytes) {
  try {
    decode(bytes);
    ADD_FAILURE() << "decoded " << bytes.size() << " bytes";
  } catch (const runtime::SystemError& e) {
    EXPECT_EQ(e.code(), GeoIPError::invalidFormat) << e.code().message();
  }
}

void putUInt32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<std::uint8_t>(value >> (24 - 8 * k));
}

Bytes emptyFile(std::uint64_t version = 1) { return encode(version, {}, {}); }

}  // namespace

TEST(FileHeader, HeaderAloneIsAnEmptyTableOfItsVersion) {
  auto table = decode(emptyFile(0x0102030405060708));
  EXPECT_EQ(table.version(), 0x0102030405060708u);
  EXPECT_THAT(table.directCIDRs(), IsEmpty());
  EXPECT_THAT(table.routes(), IsEmpty());
  EXPECT_THAT(table.policyRanges(), IsEmpty());
}

TEST(FileHeader, ReservedBytesAreNotRead) {
  auto bytes = emptyFile(5);
  bytes[6] = bytes[7] = 0xff;
  EXPECT_EQ(decode(bytes).version(), 5u);
}

TEST(FileHeader, RejectsShortFilesWrongMagicAndOtherFormatVersions) {
  expectInvalidFormat({});
  auto header = emptyFile();
  expectInvalidFormat(Bytes(header.begin(), header.end() - 1));
  for (auto [at, value] : {std::pair{0, 'v'}, {3, 'X'}, {1, '\xcb'}, {2, '\x80'}}) {
    auto bytes = emptyFile();
    bytes[at] = static_cast<std::uint8_t>(value);
    expectInvalidFormat(bytes);
  }
  for (std::uint8_t version : {0, 2}) {
    auto bytes = emptyFile();
    bytes[5] = version;
    expectInvalidFormat(bytes);
  }
  auto bytes = emptyFile();
  bytes[4] = 1;  // format version 0x0101
  expectInvalidFormat(bytes);
}

TEST(FileLength, MustEndExactlyAfterTheRecords) {
  auto exact =
      encode(1, directRecords({"10.0.0.0/8"}), std::vector{route("1.0.0.0", "1.0.0.9", "AA")});
  ASSERT_EQ(exact.size(), 24u + 5 + 10);
  EXPECT_NO_THROW(decode(exact));
  auto longer = exact;
  longer.push_back(0);
  expectInvalidFormat(longer);
  expectInvalidFormat(Bytes(exact.begin(), exact.end() - 1));
  // Counts promising records the file does not hold.
  auto moreRoutes = exact;
  putUInt32(moreRoutes, 20, 2);
  expectInvalidFormat(moreRoutes);
  auto moreDirect = exact;
  putUInt32(moreDirect, 16, 2);
  expectInvalidFormat(moreDirect);
}

TEST(FileLimits, CountsUpToTheLimitsAreAccepted) {
  std::vector<DirectRecord> direct(100000, DirectRecord{0x0a000000, 8});
  std::vector<GeoIPTable::Route> routes;
  routes.reserve(1000000);
  for (std::uint32_t k = 0; k < 1000000; ++k) routes.push_back({k * 4096, k * 4096 + 4095, "AA"});
  auto table = decode(encode(1, direct, routes));
  EXPECT_EQ(table.directCIDRs().size(), 100000u);
  EXPECT_EQ(table.routes().size(), 1000000u);
}

TEST(FileLimits, OneMoreThanALimitFailsWhateverTheLength) {
  for (auto [at, count] :
       {std::pair{16, 100001u}, {20, 1000001u}, {16, 0xffffffffu}, {20, 0xffffffffu}}) {
    auto bytes = emptyFile();
    putUInt32(bytes, at, count);
    expectInvalidFormat(bytes);
    // Even at the length such counts would need.
    auto perRecord = at == 16 ? 5u : 10u;
    if (count < 2000000) bytes.resize(24 + std::size_t{perRecord} * count);
    expectInvalidFormat(bytes);
  }
}

TEST(DirectRecords, PrefixLengthGivesTheMaskAndTheTextKeepsTheAddress) {
  auto table = decode(
      encode(1, std::vector<DirectRecord>{{0x0a010203, 8}, {0xc0000201, 32}, {0x01020304, 0}}, {}));
  EXPECT_THAT(table.directCIDRs(), ElementsAre("10.1.2.3/8", "192.0.2.1/32", "1.2.3.4/0"));
  EXPECT_THAT(table.policyRanges(), ElementsAre(directRange("0.0.0.0", "255.255.255.255")));

  EXPECT_EQ(GeoIPTable::DirectRange::fromPrefix(0x0a010203, 8),
            (GeoIPTable::DirectRange{0x0a000000, 0xff000000}));
  EXPECT_EQ(GeoIPTable::DirectRange::fromPrefix(0x0a010203, 32),
            (GeoIPTable::DirectRange{0x0a010203, 0xffffffff}));
  EXPECT_EQ(GeoIPTable::DirectRange::fromPrefix(0xffffffff, 0), (GeoIPTable::DirectRange{0, 0}));
}

TEST(DirectRecords, PrefixLengthAbove32Fails) {
  expectInvalidFormat(encode(1, std::vector<DirectRecord>{{0x0a000000, 33}}, {}));
  expectInvalidFormat(encode(1, std::vector<DirectRecord>{{0x0a000000, 8}, {0, 255}}, {}));
}

TEST(RouteRecords, MustAscendWithoutOverlap) {
  auto decodes = [](std::vector<GeoIPTable::Route> routes) {
    return decode(encode(1, {}, routes)).routes() == routes;
  };
  EXPECT_TRUE(decodes({route("1.0.0.5", "1.0.0.5", "AA")}));
  EXPECT_TRUE(decodes({route("1.0.0.0", "1.0.0.5", "AA"), route("1.0.0.6", "1.0.0.6", "BB")}));
  EXPECT_TRUE(decodes({route("0.0.0.0", "255.255.255.255", "AA")}));
  expectInvalidFormat(encode(1, {}, std::vector{route("1.0.0.6", "1.0.0.5", "AA")}));
  expectInvalidFormat(encode(
      1, {}, std::vector{route("1.0.0.0", "1.0.0.5", "AA"), route("1.0.0.5", "1.0.0.9", "BB")}));
  expectInvalidFormat(encode(
      1, {}, std::vector{route("1.0.0.0", "1.0.0.5", "AA"), route("0.0.0.0", "0.0.0.1", "BB")}));
  // A later route that fails only against its own start.
  expectInvalidFormat(encode(
      1, {}, std::vector{route("1.0.0.0", "1.0.0.5", "AA"), route("1.0.0.9", "1.0.0.8", "BB")}));
}

TEST(RouteRecords, RegionBytesMustBeAscii) {
  for (auto [first, second] : {std::pair{'\x80', 'A'}, {'A', '\xff'}}) {
    expectInvalidFormat(encode(1, {}, std::vector{GeoIPTable::Route{1, 2, {first, second}}}));
  }
  auto table = decode(encode(
      1, {}, std::vector{GeoIPTable::Route{1, 2, {'\0', '\x7f'}}, GeoIPTable::Route{3, 3, "de"}}));
  EXPECT_EQ(table.region(1), std::string("\0\x7f", 2));
  EXPECT_EQ(table.region(3), "de");  // as stored, case kept
}

TEST(ReadIntegers, FoldMostSignificantByteFirst) {
  Bytes bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xff};
  EXPECT_EQ(flowgate::geoip::readUInt16(bytes, 0), 0x0102u);
  EXPECT_EQ(flowgate::geoip::readUInt16(bytes, 7), 0x08ffu);
  EXPECT_EQ(flowgate::geoip::readUInt32(bytes, 5), 0x060708ffu);
  EXPECT_EQ(flowgate::geoip::readUInt64(bytes, 1), 0x02030405060708ffu);
}

TEST(ReadIntegers, RefuseToReadPastTheEnd) {
  using namespace flowgate::geoip;
  Bytes bytes(8);
  auto refused = [&](auto read, std::size_t at) {
    try {
      read(bytes, at);
      return false;
    } catch (const runtime::SystemError& e) {
      return e.code() == GeoIPError::invalidFormat;
    }
  };
  EXPECT_EQ(readUInt16(bytes, 6) + readUInt32(bytes, 4) + readUInt64(bytes, 0), 0u);
  for (std::size_t at : {7ul, 8ul, 9ul, SIZE_MAX}) EXPECT_TRUE(refused(readUInt16, at)) << at;
  for (std::size_t at : {5ul, 8ul, SIZE_MAX - 2}) EXPECT_TRUE(refused(readUInt32, at)) << at;
  for (std::size_t at : {1ul, 8ul, SIZE_MAX}) EXPECT_TRUE(refused(readUInt64, at)) << at;
}

TEST(FileWriter, TableWrittenBackGivesTheSameBytes) {
  auto bytes =
      encode(42, directRecords({"10.1.2.3/8", "192.0.2.0/24", "10.0.0.0/9"}),
             std::vector{route("1.0.0.0", "1.0.0.9", "AA"), route("10.0.0.0", "12.0.0.0", "bB")});
  EXPECT_EQ(encode(decode(bytes)), bytes);
}
