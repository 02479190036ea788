#include "runtime/iso8601.hpp"

#include <chrono>
#include <cstdint>

namespace runtime {

namespace {

// Exactly `width` ASCII digits at `position`.
std::optional<int> digits(std::string_view text, std::size_t position, std::size_t width) {
  if (position + width > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = position; i < position + width; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::optional<Date> parseISO8601Date(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS, then Z or +HH:MM / -HH:MM.
  if (text.size() != 20 && text.size() != 25) return std::nullopt;
  if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  auto year = digits(text, 0, 4);
  auto month = digits(text, 5, 2);
  auto day = digits(text, 8, 2);
  auto hour = digits(text, 11, 2);
  auto minute = digits(text, 14, 2);
  auto second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*hour > 23 || *minute > 59 || *second > 59) return std::nullopt;

  std::int64_t offsetSeconds = 0;
  if (text.size() == 20) {
    if (text[19] != 'Z') return std::nullopt;
  } else {
    char sign = text[19];
    if ((sign != '+' && sign != '-') || text[22] != ':') return std::nullopt;
    auto offsetHours = digits(text, 20, 2);
    auto offsetMinutes = digits(text, 23, 2);
    if (!offsetHours || !offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) {
      return std::nullopt;
    }
    offsetSeconds = (*offsetHours * 3600 + *offsetMinutes * 60) * (sign == '+' ? 1 : -1);
  }

  std::chrono::year_month_day date{std::chrono::year(*year),
                                   std::chrono::month(static_cast<unsigned>(*month)),
                                   std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;
  std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  std::int64_t unix = days * 86400 + *hour * 3600 + *minute * 60 + *second - offsetSeconds;
  return Date::fromUnixSeconds(static_cast<double>(unix));
}

}  // namespace runtime
