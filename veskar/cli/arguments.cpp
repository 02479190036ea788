#include "veskar/cli/arguments.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace veskar::cli {

const char* const usageText =
    "usage: veskarctl [--socket PATH] [--control-url URL] COMMAND\n"
    "       veskarctl --version\n"
    "  login CALLING_CODE NUMBER [--password-stdin]   (login +86 13800000000)\n"
    "  login --phone +NUMBER [--password-stdin]\n"
    "  logout\n"
    "  connect\n"
    "  disconnect\n"
    "  status [--json]\n"
    "  nodes [--json] [--watch]\n"
    "  high-speed on|off\n"
    "  lockdown on|off\n"
    "  traffic [--json]\n"
    "The socket defaults to $VESKAR_SOCKET, else /run/veskar/flowgate.sock; the control\n"
    "server to $VESKAR_CONTROL_URL, else the one this build was made for.\n"
    "Exit status: 0 done, 1 failed, 2 wrong command line.\n";

namespace {

struct CommandRule {
  std::string_view name;
  std::size_t minOperands;
  std::size_t maxOperands;
  bool json;  // a read command: --json allowed
};

constexpr std::array<CommandRule, 9> rules{{
    {"login", 0, 2, false},
    {"logout", 0, 0, false},
    {"connect", 0, 0, false},
    {"disconnect", 0, 0, false},
    {"status", 0, 0, true},
    {"nodes", 0, 0, true},
    {"high-speed", 1, 1, false},
    {"lockdown", 1, 1, false},
    {"traffic", 0, 0, true},
}};

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "+", the calling code and the number, as the sign-in screen composes them.
std::variant<std::string, UsageError> composePhone(const Invocation& invocation) {
  const auto& operands = invocation.operands;
  if (!invocation.phone.empty()) {
    if (!operands.empty()) return UsageError{"give the phone number once"};
    std::string_view full = invocation.phone;
    if (!full.starts_with('+') || !allDigits(full.substr(1))) {
      return UsageError{"--phone takes \"+\", the calling code and the number"};
    }
    return invocation.phone;
  }
  if (operands.size() != 2) return UsageError{"login needs a calling code and a phone number"};
  std::string_view code = operands[0];
  if (code.starts_with('+')) code.remove_prefix(1);
  if (!allDigits(code) || code.size() > 4) return UsageError{"not a calling code: " + operands[0]};
  if (!allDigits(operands[1])) return UsageError{"not a phone number: " + operands[1]};
  return "+" + std::string(code) + operands[1];
}

}  // namespace

std::variant<Invocation, UsageError> parseArguments(std::span<const std::string> arguments,
                                                    const Environment& environment) {
  Invocation invocation;
  invocation.socket = environment("VESKAR_SOCKET").value_or(kDefaultSocket);
  invocation.controlURL = environment("VESKAR_CONTROL_URL");

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= arguments.size()) return std::nullopt;
      return arguments[++i];
    };
    if (argument == "-h" || argument == "--help" || argument == "help") {
      return Invocation{};
    } else if (argument == "--version") {
      Invocation shown;
      shown.version = true;
      return shown;
    } else if (argument == "--json") {
      invocation.json = true;
    } else if (argument == "--watch") {
      invocation.watch = true;
    } else if (argument == "--password-stdin") {
      invocation.passwordStdin = true;
    } else if (argument == "--socket" || argument == "--control-url" || argument == "--phone") {
      auto given = value();
      if (!given || given->empty()) return UsageError{argument + " needs a value"};
      if (argument == "--socket") invocation.socket = *given;
      if (argument == "--control-url") invocation.controlURL = *given;
      if (argument == "--phone") invocation.phone = *given;
    } else if (argument.starts_with("--")) {
      return UsageError{"unknown option " + argument};
    } else if (invocation.command.empty()) {
      invocation.command = argument;
    } else {
      invocation.operands.push_back(argument);
    }
  }

  if (invocation.command.empty()) return UsageError{"missing command"};
  auto rule = std::find_if(rules.begin(), rules.end(),
                           [&](const CommandRule& r) { return r.name == invocation.command; });
  if (rule == rules.end()) return UsageError{"unknown command " + invocation.command};
  if (invocation.operands.size() < rule->minOperands ||
      invocation.operands.size() > rule->maxOperands) {
    return UsageError{"wrong number of operands for " + invocation.command};
  }
  if (invocation.json && !rule->json) return UsageError{"--json is for status, nodes and traffic"};
  if (invocation.watch && invocation.command != "nodes") return UsageError{"--watch is for nodes"};
  bool isLogin = invocation.command == "login";
  if (!isLogin && (invocation.passwordStdin || !invocation.phone.empty())) {
    return UsageError{"--phone and --password-stdin are for login"};
  }
  if (isLogin) {
    auto phone = composePhone(invocation);
    if (auto* error = std::get_if<UsageError>(&phone)) return *error;
    invocation.phone = std::get<std::string>(phone);
    invocation.operands.clear();
  }
  bool isSwitch = invocation.command == "high-speed" || invocation.command == "lockdown";
  if (isSwitch && invocation.operands[0] != "on" && invocation.operands[0] != "off") {
    return UsageError{invocation.command + " takes on or off"};
  }
  return invocation;
}

}  // namespace veskar::cli
