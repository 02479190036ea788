#include "runtime/base64.hpp"

#include <gtest/gtest.h>

namespace b64 = runtime::base64;

namespace {
std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }
}  // namespace

TEST(Base64, StandardRoundTripsWithPadding) {
  EXPECT_EQ(b64::encode(bytes("")), "");
  EXPECT_EQ(b64::encode(bytes("f")), "Zg==");
  EXPECT_EQ(b64::encode(bytes("fo")), "Zm8=");
  EXPECT_EQ(b64::encode(bytes("foo")), "Zm9v");
  EXPECT_EQ(b64::encode(std::vector<std::uint8_t>{0xfb, 0xff}), "+/8=");
  for (auto text : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    EXPECT_EQ(b64::decode(b64::encode(bytes(text))), bytes(text));
  }
}

TEST(Base64, StandardDecodingIsStrict) {
  for (auto bad : {"Zg", "Zg=", "Zm 9v", "Zm9v\n", "Z===", "Zg==Zg==", "-_8=", "Zm9v="}) {
    EXPECT_FALSE(b64::decode(bad)) << bad;
  }
}

TEST(Base64, URLAlphabetWithoutPadding) {
  std::vector<std::uint8_t> data{0xfb, 0xff, 0x01};
  EXPECT_EQ(b64::encodeURL(data), "-_8B");
  EXPECT_EQ(b64::decodeURL("-_8B"), data);
  EXPECT_EQ(b64::encodeURL(bytes("f")), "Zg");
  EXPECT_EQ(b64::decodeURL("Zg"), bytes("f"));
  EXPECT_FALSE(b64::decodeURL("Zg=="));
  EXPECT_FALSE(b64::decodeURL("+/8B"));
  EXPECT_FALSE(b64::decodeURL("Z"));
}
