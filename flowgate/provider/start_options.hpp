#pragma once

// The start options the app hands the tunnel: a dictionary whose values are
// data, text or numbers (booleans travel as numbers).

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace flowgate {

struct OptionData {
  std::string bytes;
  friend bool operator==(const OptionData&, const OptionData&) = default;
};
struct OptionText {
  std::string text;
  friend bool operator==(const OptionText&, const OptionText&) = default;
};

using StartOption = std::variant<OptionData, OptionText, double>;
using StartOptions = std::map<std::string, StartOption>;

inline constexpr const char* bootstrapOption = "bootstrap";
inline constexpr const char* extensionTokensOption = "extension_tokens";
inline constexpr const char* highSpeedOption = "high_speed_enabled";
// Set (to 1) by a daemon starting again the run a killed daemon left: the
// stored tokens, refreshed since, win over the ones in the options.
inline constexpr const char* resumedOption = "resumed";

}  // namespace flowgate
