#include "runtime/iso8601.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ISO8601Test, OnlyWholeSecondsWithAZoneParse) {
  struct Case {
    const char* text;
    std::optional<double> unix;
  };
  const Case cases[] = {
      {"2026-12-09T08:21:19Z", 1796804479},
      {"2026-12-09T10:21:19+02:00", 1796804479},
      {"2026-12-09T00:21:19-08:00", 1796804479},
      {"1970-01-01T00:00:00Z", 0},
      {"2024-02-29T23:59:59Z", 1709251199},
      {"2001-01-01T00:00:00+00:00", 978307200},
      {"2026-12-09T08:21:19", std::nullopt},       // no zone
      {"2026-12-09T08:21:19.5Z", std::nullopt},    // a fraction
      {"2026-12-09T08:21:19.000Z", std::nullopt},  // even a zero one
      {"2026-12-09t08:21:19Z", std::nullopt},
      {"2026-12-09T08:21:19z", std::nullopt},
      {"2026-12-09 08:21:19Z", std::nullopt},
      {"2026-12-09T08:21:19+0200", std::nullopt},
      {"2026-12-09T08:21:19+24:00", std::nullopt},
      {"2025-02-29T00:00:00Z", std::nullopt},
      {"2026-13-01T00:00:00Z", std::nullopt},
      {"2026-12-09T24:00:00Z", std::nullopt},
      {"2026-12-09T08:60:00Z", std::nullopt},
      {"2026-12-09T08:21:60Z", std::nullopt},
      {"+026-12-09T08:21:19Z", std::nullopt},
      {"2026-12-09", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto date = runtime::parseISO8601Date(c.text);
    ASSERT_EQ(date.has_value(), c.unix.has_value());
    if (date) {
      EXPECT_EQ(date->unixSeconds(), *c.unix);
    }
  }
}

}  // namespace
