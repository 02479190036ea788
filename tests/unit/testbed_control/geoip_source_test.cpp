#include "testbed/geoip/geoip_source.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "platform/digest.hpp"
#include "runtime/ipv4.hpp"
#include "testbed/geoip/geoip_manifest.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace testbed {
namespace {

std::uint32_t ip(const char* text) { return *runtime::ipv4::ipv4Value(text); }

TEST(GeoIPSourceTest, ReadsEntriesAndSortsRoutes) {
  auto source = parseGeoIPSource(
      "# lab table\r\n"
      "version 9\r\n"
      "\n"
      "direct 192.0.2.77/25   # host bits kept\n"
      "direct\t198.51.100.0/24\n"
      "route 203.0.113.128-203.0.113.255 US\n"
      "route 203.0.113.0/25 DE\n");
  EXPECT_EQ(source.version, 9u);
  ASSERT_EQ(source.direct.size(), 2u);
  EXPECT_EQ(source.direct[0], (flowgate::geoip::DirectRecord{ip("192.0.2.77"), 25}));
  ASSERT_EQ(source.routes.size(), 2u);
  EXPECT_EQ(source.routes[0].start, ip("203.0.113.0"));
  EXPECT_EQ(source.routes[0].end, ip("203.0.113.127"));
  EXPECT_EQ(source.routes[0].region.text(), "DE");
  // Adjacent blocks are fine.
  EXPECT_EQ(source.routes[1].start, source.routes[0].end + 1);
}

TEST(GeoIPSourceTest, RefusesOverlapsAndMalformedLinesNamingTheLine) {
  EXPECT_THROW(parseGeoIPSource("route 203.0.113.0/24 DE\nroute 203.0.113.255/32 US\n"),
               std::invalid_argument);
  for (const char* bad :
       {"route 203.0.113.0/24 DEU", "route 203.0.113.0/24 D", "direct 300.0.0.0/8",
        "direct 192.0.2.0/33", "route 203.0.113.9-203.0.113.1 DE", "region 203.0.113.0/24 DE",
        "version -1", "route 203.0.113.0/24 D\xc3"}) {
    try {
      parseGeoIPSource(std::string("direct 192.0.2.0/25\n") + bad + "\n");
      ADD_FAILURE() << bad;
    } catch (const std::invalid_argument& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with("line 2:")) << e.what();
    }
  }
}

TEST(GeoIPManifestTest, DescribesTheFileAndRenumbersItsVersion) {
  auto source = parseGeoIPSource("direct 192.0.2.0/25\nroute 198.18.0.0/24 JP\n");
  auto file = flowgate::geoip::encode(3, source.direct, source.routes);
  auto manifest = describeGeoIPFile(file, "/t.bin", "2026-01-01T00:00:00Z");
  EXPECT_EQ(manifest.version, 3u);
  EXPECT_EQ(manifest.sizeBytes, 24 + 5 + 10);
  EXPECT_EQ(manifest.directCidrCount, 1);
  EXPECT_EQ(manifest.routeCount, 1);
  EXPECT_EQ(manifest.sha256, platform::sha256Hex(file));
  EXPECT_EQ(manifest.sha256.size(), 64u);

  auto renumbered = withGeoIPVersion(file, 4);
  auto table = flowgate::geoip::decode(renumbered);
  EXPECT_EQ(table.version(), 4u);
  EXPECT_EQ(table.directCIDRs(), std::vector<std::string>{"192.0.2.0/25"});
  EXPECT_EQ(table.region(ip("198.18.0.9")), "JP");
  EXPECT_NE(platform::sha256Hex(renumbered), manifest.sha256);

  EXPECT_EQ(manifestJSON(manifest).find("sizeBytes"), std::string::npos);
  EXPECT_NE(manifestJSON(manifest).find("\"size_bytes\":39"), std::string::npos);
}

}  // namespace
}  // namespace testbed
