#include "veskar/control/traffic_info.hpp"

#include <gtest/gtest.h>

#include <locale>

namespace veskar {
namespace {

TEST(TrafficInfoFormat, UnitsAndFractionDigits) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "0K"},
      {512, "0.5K"},
      {1023, "1K"},
      {1048575, "1024K"},
      {1048576, "1M"},
      {1572864, "1.5M"},
      {1073741823, "1024M"},
      {1073741824, "1G"},
      {5368709120, "5G"},
      {1100000, "1.05M"},
      {-3221225472, "-3G"},
      {-512, "-0.5K"},
      {INT64_MIN, "-8589934592G"},
  };
  for (auto [bytes, text] : cases) {
    EXPECT_EQ(TrafficInfo::format(bytes, std::locale::classic()), text) << bytes;
  }
}

struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(TrafficInfoFormat, UsesTheLocalesDecimalSeparatorWithoutGrouping) {
  std::locale german(std::locale::classic(), new CommaDecimal);
  EXPECT_EQ(TrafficInfo::format(1572864, german), "1,5M");
  EXPECT_EQ(TrafficInfo::format(1073741824LL * 2048 + 536870912, german), "2048,5G");
}

}  // namespace
}  // namespace veskar
