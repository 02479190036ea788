#pragma once

// Small text rules shared by the address and key helpers.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace runtime {

// Splits at `separator`, dropping empty pieces; empty pieces do not count
// towards `maxSplits`, and the rest after the last split is one piece.
std::vector<std::string_view> splitOmittingEmpty(std::string_view text, char separator,
                                                 std::size_t maxSplits = SIZE_MAX);

// A non-empty run of ASCII digits (no sign) whose value is at most `limit`.
std::optional<std::uint64_t> parseDecimal(std::string_view text, std::uint64_t limit);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values
// above U+10FFFF).
bool isValidUTF8(std::string_view text);

}  // namespace runtime
