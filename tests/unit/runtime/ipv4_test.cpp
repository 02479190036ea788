#include "runtime/ipv4.hpp"

#include <gtest/gtest.h>

using namespace runtime::ipv4;

TEST(DottedQuad, AcceptsFourDecimalPiecesIgnoringEmptyOnes) {
  EXPECT_EQ(ipv4Value("1.2.3.4"), 0x01020304u);
  EXPECT_EQ(ipv4Value("255.255.255.255"), 0xffffffffu);
  EXPECT_EQ(ipv4Value("010.001.000.009"), 0x0a010009u);
  EXPECT_EQ(ipv4Value("1..2.3.4"), 0x01020304u);
  EXPECT_EQ(ipv4Value(".1.2.3.4."), 0x01020304u);
}

TEST(DottedQuad, RejectsAnythingElse) {
  for (const char* text : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.-4", "1.2.3.+4",
                           "1.2.3.4 ", "a.b.c.d", "1.2.3.4/32", "99999999999999999999.1.1.1"}) {
    EXPECT_FALSE(ipv4Value(text)) << text;
  }
}

TEST(CidrMask, ReadsOnlyThePrefixAfterTheLastSlash) {
  EXPECT_EQ(mask("10.8.0.0/16"), "255.255.0.0");
  EXPECT_EQ(mask("garbage/24"), "255.255.255.0");
  EXPECT_EQ(mask("1.2.3.4/0"), "0.0.0.0");
  EXPECT_EQ(mask("1.2.3.4/32"), "255.255.255.255");
  EXPECT_EQ(mask("1.2.3.4/1/9"), "255.128.0.0");
  EXPECT_FALSE(mask("10.8.0.0"));
  EXPECT_FALSE(mask("10.8.0.0/"));
  EXPECT_FALSE(mask("10.8.0.0/33"));
  EXPECT_FALSE(mask("10.8.0.0/x"));
}

TEST(CidrRange, MasksLowerAndFillsUpper) {
  EXPECT_EQ(cidrRange("10.1.2.3/8"), (Range{0x0a000000u, 0x0affffffu}));
  EXPECT_EQ(cidrRange("0.0.0.0/0"), (Range{0, 0xffffffffu}));
  EXPECT_EQ(cidrRange("255.255.255.255/32"), (Range{0xffffffffu, 0xffffffffu}));
  EXPECT_EQ(cidrRange("/10.0.0.0/8"), (Range{0x0a000000u, 0x0affffffu}));
  EXPECT_FALSE(cidrRange("10.0.0.0//8"));  // the rest after the first split is "/8"
  EXPECT_FALSE(cidrRange("10.0.0.0/8/"));
}

TEST(RouteFromCidr, KeepsTheAddressAsWritten) {
  EXPECT_EQ(route("10.1.2.3/8"), (RouteText{"10.1.2.3", "255.0.0.0"}));
  EXPECT_EQ(route("0.0.0.0/0"), (RouteText{"0.0.0.0", "0.0.0.0"}));
  EXPECT_EQ(route("010.1.2.3/8"), (RouteText{"010.1.2.3", "255.0.0.0"}));
  for (const char* text : {"1.2.3.4/33", "1.2.3/24", "1.2.3.4/", "1.2.3.4", "/24"}) {
    EXPECT_FALSE(route(text)) << text;
  }
}

TEST(DottedQuadText, FormatsMostSignificantOctetFirst) {
  EXPECT_EQ(dottedQuad(0xc0000201u), "192.0.2.1");
  EXPECT_EQ(dottedQuad(0), "0.0.0.0");
  EXPECT_EQ(prefixMask(0), 0u);
  EXPECT_EQ(prefixMask(32), 0xffffffffu);
}
