#pragma once

// Internet date and time text (RFC 3339 profile of ISO 8601), the form the
// control server gives expiry dates in.

#include "runtime/date.hpp"

#include <optional>
#include <string_view>

namespace runtime {

// "2026-12-09T08:21:19Z" or "2026-12-09T10:21:19+02:00": date, time and a zone,
// whole seconds only. Anything else (no zone, a fraction of a second, a lower-case
// separator, a field out of range) is nothing.
std::optional<Date> parseISO8601Date(std::string_view text);

}  // namespace runtime
