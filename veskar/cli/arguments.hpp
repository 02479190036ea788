#pragma once

// The command line of `veskarctl`: one command with its operands, and options
// anywhere among them. Wrong command lines are usage errors (exit status 2).

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace veskar::cli {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;
inline constexpr int exitInterrupted = 130;  // as a shell reports a command ended by Ctrl-C

inline constexpr const char* kDefaultSocket = "/run/veskar/flowgate.sock";

extern const char* const usageText;

struct Invocation {
  std::string command;   // empty with --help and --version
  bool version = false;  // --version: print it, nothing else
  std::vector<std::string> operands;
  bool json = false;
  bool watch = false;
  bool passwordStdin = false;
  std::string phone;                      // login: "+", calling code and number
  std::filesystem::path socket;           // the daemon's control socket
  std::optional<std::string> controlURL;  // the control server; none: the build's
};

struct UsageError {
  std::string message;
};

// Reads an environment variable; nothing when unset.
using Environment = std::function<std::optional<std::string>(const char* name)>;

std::variant<Invocation, UsageError> parseArguments(std::span<const std::string> arguments,
                                                    const Environment& environment);

}  // namespace veskar::cli
