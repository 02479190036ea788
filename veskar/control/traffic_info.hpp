#pragma once

// The account's traffic figures and the byte-count text the screens show.

#include <cstdint>
#include <locale>
#include <string>
#include <string_view>

namespace veskar {

struct TrafficInfo {
  std::int64_t remainingBytes = 0;
  std::int64_t rechargeBaselineBytes = 0;

  friend bool operator==(const TrafficInfo&, const TrafficInfo&) = default;

  // K below 2^20 bytes, M below 2^30, G above; up to two fraction digits with
  // the locale's decimal separator, no grouping: 1,572,864 gives "1.5M", 512
  // gives "0.5K", -3 GiB "-3G".
  static std::string format(std::int64_t bytes, const std::locale& locale);
  // With the given decimal separator (a reader's language, e.g. from Qt's locale).
  static std::string format(std::int64_t bytes, std::string_view decimalPoint);
  // With the user's locale.
  static std::string format(std::int64_t bytes);
};

}  // namespace veskar
