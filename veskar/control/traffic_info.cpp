#include "veskar/control/traffic_info.hpp"

#include <cmath>
#include <cstdio>
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

std::string TrafficInfo::format(std::int64_t bytes, const std::locale& locale) {
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
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", quotient);
  std::string number = buffer;
  // Zero to two fraction digits: trailing zeros and a bare point go.
  while (!number.empty() && number.back() == '0') number.pop_back();
  if (!number.empty() && number.back() == '.') number.pop_back();
  auto point = number.find('.');
  if (point != std::string::npos) {
    number.replace(point, 1, 1, std::use_facet<std::numpunct<char>>(locale).decimal_point());
  }
  return sign + number + unit;
}

std::string TrafficInfo::format(std::int64_t bytes) { return format(bytes, userLocale()); }

}  // namespace veskar
