#pragma once

// A wall-clock instant as seconds since 2001-01-01 00:00:00 UTC, the form our
// stored token records carry (fractions allowed).

#include <chrono>
#include <compare>

namespace runtime {

struct Date {
  // 2001-01-01T00:00:00Z in Unix seconds.
  static constexpr double referenceUnixSeconds = 978307200.0;

  double secondsSinceReferenceDate = 0;

  static Date fromUnixSeconds(double unix) { return Date{unix - referenceUnixSeconds}; }
  static Date from(std::chrono::system_clock::time_point tp) {
    return fromUnixSeconds(std::chrono::duration<double>(tp.time_since_epoch()).count());
  }
  double unixSeconds() const { return secondsSinceReferenceDate + referenceUnixSeconds; }
  Date adding(double seconds) const { return Date{secondsSinceReferenceDate + seconds}; }
  double secondsSince(Date other) const {
    return secondsSinceReferenceDate - other.secondsSinceReferenceDate;
  }

  friend auto operator<=>(const Date&, const Date&) = default;
};

}  // namespace runtime
