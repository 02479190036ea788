#pragma once

// A subcommand of the `flowgate` program. Commands write to the streams they
// are given and return the process's exit status.

#include <ostream>
#include <span>
#include <string_view>

namespace flowgate::cli {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;  // the work failed (unreadable or malformed input)
inline constexpr int exitUsage = 2;    // the command line was wrong

using Arguments = std::span<const std::string_view>;

struct Command {
  std::string_view name;
  std::string_view usage;  // one or more lines, each starting with "flowgate "
  int (*run)(Arguments arguments, std::ostream& out, std::ostream& err);
};

}  // namespace flowgate::cli
