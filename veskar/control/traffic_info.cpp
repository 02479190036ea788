#include "veskar/control/traffic_info.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace veskar {

namespace {

const std::locale& userLocale() {
  static const std::locale locale = [] {
    try {
      return std::locale("");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return locale;
}

}  // namespace

std::string TrafficInfo::format(std::int64_t bytes, std::string_view decimalPoint) {
  std::string sign = bytes < 0 ? "-" : "";
  // The magnitude as a double: exact enough for two fraction digits, and
  // INT64_MIN has no positive twin.
  double magnitude = std::fabs(static_cast<double>(bytes));
  const char* unit = "G";
  double quotient = magnitude / 1073741824.0;
  if (magnitude < 1048576.0) {
    unit = "K";
    quotient = magnitude / 1024.0;
  } else if (magnitude < 1073741824.0) {
    unit = "M";
    quotient = magnitude / 1048576.0;
  }
  // Independent of the process locale (which the toolkit sets from the
  // environment), so the trimming below always finds a point.
  char buffer[64];
  auto written =
      std::to_chars(buffer, buffer + sizeof buffer, quotient, std::chars_format::fixed, 2);
  std::string number(buffer, written.ptr);
  // Zero to two fraction digits: trailing zeros and a bare point go.
  while (!number.empty() && number.back() == '0') number.pop_back();
  if (!number.empty() && number.back() == '.') number.pop_back();
  if (auto point = number.find('.'); point != std::string::npos) {
    number.replace(point, 1, decimalPoint);
  }
  return sign + number + unit;
}

std::string TrafficInfo::format(std::int64_t bytes, const std::locale& locale) {
  return format(bytes, std::string(1, std::use_facet<std::numpunct<char>>(locale).decimal_point()));
}

std::string TrafficInfo::format(std::int64_t bytes) { return format(bytes, userLocale()); }

}  // namespace veskar
