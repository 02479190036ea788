#pragma once

// Wall-clock instants as the control plane writes them: "YYYY-MM-DDTHH:MM:SSZ"
// (UTC, whole seconds; a fraction after the seconds is accepted and dropped).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace testbed {

std::optional<std::int64_t> parseUTCTime(std::string_view text);  // unix seconds
std::string formatUTCTime(std::int64_t unixSeconds);

}  // namespace testbed
