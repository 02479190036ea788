#include "testbed/credential/utc_time.hpp"

#include <chrono>
#include <cstdio>

namespace testbed {

namespace {

std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<std::int64_t> parseUTCTime(std::string_view text) {
  // 2025-01-31T12:00:00Z
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text.back() != 'Z') {
    return std::nullopt;
  }
  auto fraction = text.substr(19, text.size() - 20);
  if (!fraction.empty()) {
    if (fraction.size() < 2 || fraction[0] != '.' || !digits(fraction, 1, fraction.size() - 1)) {
      return std::nullopt;
    }
  }
  auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  auto hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || *hour > 23 || *minute > 59 ||
      *second > 59) {
    return std::nullopt;
  }
  using namespace std::chrono;
  year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                      std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;
  auto days = sys_days(date).time_since_epoch().count();
  return static_cast<std::int64_t>(days) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

std::string formatUTCTime(std::int64_t unixSeconds) {
  using namespace std::chrono;
  auto seconds = sys_seconds(std::chrono::seconds(unixSeconds));
  auto dayStart = floor<days>(seconds);
  year_month_day date(dayStart);
  hh_mm_ss time(seconds - dayStart);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace testbed
