// The `flowgate` program. Its first argument names a subcommand; each command
// lives in its own file and is listed here.

#include "flowgate/cli/cleanup_command.hpp"
#include "flowgate/cli/command.hpp"
#include "flowgate/cli/daemon_command.hpp"
#include "flowgate/cli/geoip_command.hpp"
#include "flowgate/cli/run_command.hpp"
#include "runtime/version.hpp"

#include <array>
#include <exception>
#include <iostream>
#include <vector>

namespace {

using flowgate::cli::Command;

const std::array<const Command*, 4> commands{
    &flowgate::cli::cleanupCommand, &flowgate::cli::daemonCommand, &flowgate::cli::geoipCommand,
    &flowgate::cli::runCommand};

void printUsage(std::ostream& out) {
  out << "usage:\n";
  for (const auto* command : commands) out << command->usage;
  out << "flowgate --version\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  if (arguments.empty()) {
    std::cerr << "flowgate: missing command\n";
    printUsage(std::cerr);
    return flowgate::cli::exitUsage;
  }
  if (arguments[0] == "help" || arguments[0] == "--help" || arguments[0] == "-h") {
    printUsage(std::cout);
    return flowgate::cli::exitSuccess;
  }
  if (arguments[0] == "--version") {
    std::cout << runtime::versionLine("flowgate") << "\n";
    return flowgate::cli::exitSuccess;
  }
  for (const auto* command : commands) {
    if (command->name != arguments[0]) continue;
    try {
      return command->run(flowgate::cli::Arguments(arguments).subspan(1), std::cout, std::cerr);
    } catch (const std::exception& e) {
      std::cerr << "flowgate " << command->name << ": " << e.what() << "\n";
      return flowgate::cli::exitFailure;
    }
  }
  std::cerr << "flowgate: unknown command: " << arguments[0] << "\n";
  printUsage(std::cerr);
  return flowgate::cli::exitUsage;
}
