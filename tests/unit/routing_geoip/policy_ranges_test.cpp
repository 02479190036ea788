#include "geoip_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

using namespace geoip_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(PolicyRanges, DirectBlockCutsTheRouteAroundIt) {
  auto table = tableOf({"10.0.0.0/8"}, {route("9.0.0.0", "11.255.255.255", "XX")});
  EXPECT_THAT(table.policyRanges(), ElementsAre(regionRange("9.0.0.0", "9.255.255.255", "XX"),
                                                directRange("10.0.0.0", "10.255.255.255"),
                                                regionRange("11.0.0.0", "11.255.255.255", "XX")));
}

TEST(PolicyRanges, SeveralBlocksInsideOneRouteLeaveAPieceInEachGap) {
  auto table =
      tableOf({"1.0.0.8/30", "1.0.0.0/30", "1.0.0.255/32"}, {route("1.0.0.0", "1.0.0.255", "AA")});
  EXPECT_THAT(
      table.policyRanges(),
      ElementsAre(directRange("1.0.0.0", "1.0.0.3"), regionRange("1.0.0.4", "1.0.0.7", "AA"),
                  directRange("1.0.0.8", "1.0.0.11"), regionRange("1.0.0.12", "1.0.0.254", "AA"),
                  directRange("1.0.0.255", "1.0.0.255")));
}

TEST(PolicyRanges, OneBlockAcrossSeveralRoutesCutsTheirEdgesAndRemovesTheMiddle) {
  auto table = tableOf({"2.0.0.0/8"},
                       {route("1.0.0.0", "2.0.0.255", "AA"), route("2.1.0.0", "2.1.0.255", "BB"),
                        route("2.255.0.0", "3.0.0.255", "CC")});
  EXPECT_THAT(table.policyRanges(), ElementsAre(regionRange("1.0.0.0", "1.255.255.255", "AA"),
                                                directRange("2.0.0.0", "2.255.255.255"),
                                                regionRange("3.0.0.0", "3.0.0.255", "CC")));
}

TEST(PolicyRanges, RouteWhollyInsideADirectBlockVanishes) {
  auto table = tableOf({"10.0.0.0/8"}, {route("10.1.0.0", "10.1.255.255", "XX")});
  EXPECT_THAT(table.policyRanges(), ElementsAre(directRange("10.0.0.0", "10.255.255.255")));
  EXPECT_EQ(table.routes().size(), 1u);  // the route itself stays listed
}

TEST(DirectMerging, HalvesDuplicatesNestedAndAdjacentBlocksBecomeOneRange) {
  EXPECT_THAT(tableOf({"10.0.0.0/9", "10.128.0.0/9"}, {}).policyRanges(),
              ElementsAre(directRange("10.0.0.0", "10.255.255.255")));
  EXPECT_THAT(tableOf({"10.0.0.0/8", "10.0.0.0/8"}, {}).policyRanges(),
              ElementsAre(directRange("10.0.0.0", "10.255.255.255")));
  EXPECT_THAT(tableOf({"10.1.0.0/16", "10.0.0.0/8", "10.200.3.0/24"}, {}).policyRanges(),
              ElementsAre(directRange("10.0.0.0", "10.255.255.255")));
  // Out of order, adjacent across an octet boundary.
  EXPECT_THAT(tableOf({"11.0.0.0/8", "10.255.255.255/32", "10.0.0.0/9"}, {}).policyRanges(),
              ElementsAre(directRange("10.0.0.0", "10.127.255.255"),
                          directRange("10.255.255.255", "11.255.255.255")));
}

TEST(DirectMerging, BlocksOneAddressApartStaySeparate) {
  EXPECT_THAT(
      tableOf({"10.0.0.0/32", "10.0.0.2/32"}, {}).policyRanges(),
      ElementsAre(directRange("10.0.0.0", "10.0.0.0"), directRange("10.0.0.2", "10.0.0.2")));
}

TEST(TopOfAddressSpace, BlocksEndingAtTheLastAddressMergeWithoutWrapping) {
  auto table = tableOf({"255.255.255.0/24", "255.255.255.255/32", "255.255.255.128/25"}, {});
  EXPECT_THAT(table.policyRanges(), ElementsAre(directRange("255.255.255.0", "255.255.255.255")));
}

TEST(TopOfAddressSpace, BlockAtTheEndOfARouteLeavesNoPieceAfterIt) {
  auto table = tableOf({"255.255.255.0/24"}, {route("255.255.0.0", "255.255.255.255", "ZZ")});
  EXPECT_THAT(table.policyRanges(), ElementsAre(regionRange("255.255.0.0", "255.255.254.255", "ZZ"),
                                                directRange("255.255.255.0", "255.255.255.255")));
  EXPECT_FALSE(table.action(0));
}

TEST(TopOfAddressSpace, RouteEndingAtTheLastAddressIsLookedUpThere) {
  auto table = tableOf({}, {route("255.255.255.255", "255.255.255.255", "ZZ")});
  EXPECT_EQ(table.region(0xffffffffu), "ZZ");
  EXPECT_FALSE(table.region(0xfffffffeu));
  EXPECT_FALSE(table.region(0));
}

TEST(DefaultRouteDirect, PrefixZeroCoversEverythingAndEveryRouteVanishes) {
  auto table = tableOf({"1.2.3.4/0", "10.0.0.0/8"},
                       {route("0.0.0.0", "0.0.0.255", "AA"), route("9.0.0.0", "11.0.0.0", "BB"),
                        route("255.0.0.0", "255.255.255.255", "CC")});
  EXPECT_THAT(table.policyRanges(), ElementsAre(directRange("0.0.0.0", "255.255.255.255")));
  for (auto address : {0u, 0x09000000u, 0x0a000001u, 0xffffffffu}) {
    EXPECT_FALSE(table.region(address));
    EXPECT_EQ(table.action(address), Action::direct());
  }
}

TEST(Lookup, RegionAtTheEdgesOfARangeAndNothingOutsideIt) {
  auto table = tableOf({"10.0.0.0/8"}, {route("9.0.0.0", "9.255.255.255", "XX"),
                                        route("20.0.0.0", "20.0.0.9", "YY")});
  EXPECT_EQ(table.region(ip("9.0.0.0")), "XX");
  EXPECT_EQ(table.region(ip("9.255.255.255")), "XX");
  EXPECT_EQ(table.region(ip("20.0.0.0")), "YY");
  EXPECT_EQ(table.region(ip("20.0.0.9")), "YY");
  EXPECT_FALSE(table.region(ip("8.255.255.255")));   // below the first range
  EXPECT_FALSE(table.region(ip("11.0.0.0")));        // gap after a direct range
  EXPECT_FALSE(table.region(ip("19.255.255.255")));  // gap before a route
  EXPECT_FALSE(table.region(ip("20.0.0.10")));       // above the last range
  EXPECT_FALSE(table.region(0));
  EXPECT_FALSE(table.region(0xffffffffu));
}

TEST(Lookup, ActionTellsDirectFromUncovered) {
  auto table = tableOf({"10.0.0.0/8"}, {route("9.0.0.0", "9.0.0.255", "XX")});
  EXPECT_EQ(table.action(ip("10.20.30.40")), Action::direct());
  EXPECT_FALSE(table.region(ip("10.20.30.40")));
  EXPECT_EQ(table.action(ip("9.0.0.1")), Action::region("XX"));
  EXPECT_NE(table.action(ip("9.0.0.1")), Action::region("YY"));
  EXPECT_FALSE(table.action(ip("11.0.0.0")));
}

TEST(EmptyTable, SaysNothingAboutAnyAddress) {
  const auto& table = flowgate::GeoIPTable::empty();
  EXPECT_EQ(table.version(), 0u);
  EXPECT_THAT(table.directCIDRs(), IsEmpty());
  EXPECT_THAT(table.routes(), IsEmpty());
  EXPECT_THAT(table.policyRanges(), IsEmpty());
  for (auto address : {0u, 0x0a000001u, 0xffffffffu}) {
    EXPECT_FALSE(table.region(address));
    EXPECT_FALSE(table.action(address));
  }
  EXPECT_TRUE(GeoIPTable().sharesStorageWith(table));
}

TEST(Sharing, CopiesShareTheListsOfTheOriginal) {
  auto table = tableOf({"10.0.0.0/8"}, {route("9.0.0.0", "9.0.0.255", "XX")}, 7);
  auto copy = table;
  EXPECT_TRUE(copy.sharesStorageWith(table));
  EXPECT_EQ(copy.policyRanges().data(), table.policyRanges().data());
  EXPECT_EQ(copy.version(), 7u);
  copy = GeoIPTable::empty();  // replacing a holder's copy leaves the others alone
  EXPECT_EQ(table.region(ip("9.0.0.1")), "XX");

  // Moving leaves the empty table behind, not a table that crashes on access.
  auto moved = std::move(table);
  copy = std::move(moved);
  for (const auto* left : {&table, &moved}) {
    EXPECT_EQ(left->version(), 0u);
    EXPECT_THAT(left->policyRanges(), IsEmpty());
    EXPECT_FALSE(left->region(ip("9.0.0.1")));
  }
  EXPECT_EQ(copy.region(ip("9.0.0.1")), "XX");
}

// Random small tables near both ends of the address space, against a direct
// reading of the rules: a direct block wins, else the route covering the
// address, else nothing.
TEST(PolicyRanges, AgreeWithTheBlocksAndRoutesTheyCameFrom) {
  std::mt19937 random(20240611);
  auto near = [&](bool top) {
    auto offset = std::uniform_int_distribution<std::uint32_t>(0, 300)(random);
    return top ? 0xffffffffu - offset : offset;
  };
  for (int round = 0; round < 300; ++round) {
    bool top = round % 2 == 1;
    std::vector<flowgate::geoip::DirectRecord> direct;
    std::vector<GeoIPTable::DirectRange> ranges;
    for (int n = std::uniform_int_distribution(0, 6)(random); n > 0; --n) {
      auto prefix = static_cast<std::uint8_t>(std::uniform_int_distribution(23, 32)(random));
      direct.push_back({near(top), prefix});
      ranges.push_back(GeoIPTable::DirectRange::fromPrefix(direct.back().address, prefix));
    }
    std::vector<std::uint32_t> bounds;
    for (int n = std::uniform_int_distribution(0, 8)(random); n > 0; --n)
      bounds.push_back(near(top));
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    std::vector<GeoIPTable::Route> routes;
    for (std::size_t k = 0; k + 1 < bounds.size(); k += 2) {
      routes.push_back({bounds[k], bounds[k + 1], RegionCode('A', static_cast<char>('A' + k))});
    }
    auto table = flowgate::geoip::decode(flowgate::geoip::encode(1, direct, routes));

    const auto& policy = table.policyRanges();
    for (std::size_t k = 1; k < policy.size(); ++k) {
      ASSERT_GT(policy[k].start, policy[k - 1].end) << "round " << round;
    }
    std::uint32_t base = top ? 0xffffffffu - 600 : 0;
    for (std::uint32_t offset = 0; offset <= 600; ++offset) {
      auto address = base + offset;
      std::optional<Action> expected;
      for (const auto& route : routes) {
        if (route.start <= address && address <= route.end) expected = Action::region(route.region);
      }
      for (const auto& range : ranges) {
        if ((address & range.mask) == range.network) expected = Action::direct();
      }
      ASSERT_EQ(table.action(address), expected) << "round " << round << " address " << address;
    }
  }
}
