#pragma once

// The two key spellings of the configuration records' JSON.

#include "runtime/json_codec.hpp"

namespace flowgate {

// Between the app and the daemon, and in stored copies: the field names exactly.
inline constexpr auto bootstrapForm = runtime::json::KeyStyle::exact;
// Answers of the control server: snake_case keys, converted before matching.
inline constexpr auto controlServerForm = runtime::json::KeyStyle::snakeCase;

}  // namespace flowgate
