#pragma once

// Command lines of the testbed programs: "--name value" options, which may
// repeat, and positional words.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testbed {

struct UsageError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct Arguments {
  std::vector<std::pair<std::string, std::string>> options;  // names without "--", in order
  std::vector<std::string> positional;
  bool help = false;  // "--help" or "-h" was given

  bool has(std::string_view name) const;
  // The last value given for --name.
  std::optional<std::string> value(std::string_view name) const;
  std::vector<std::string> values(std::string_view name) const;
  // Throws UsageError when --name is missing.
  std::string required(std::string_view name) const;
  // A decimal up to `limit`, or `fallback` when --name is missing; throws UsageError otherwise.
  std::uint64_t number(std::string_view name, std::uint64_t fallback, std::uint64_t limit) const;
};

// Throws UsageError for an option without a value and, when `known` is not
// empty, for an option not in it.
Arguments parseArguments(std::span<const std::string> words,
                         std::initializer_list<std::string_view> known = {});

}  // namespace testbed
