// `veskarctl`: the command line over the application core. Each command runs
// as a coroutine on one io_context, the application's main executor.

#include "runtime/spawn.hpp"
#include "runtime/version.hpp"
#include "veskar/cli/app.hpp"
#include "veskar/cli/arguments.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  using namespace veskar::cli;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  auto parsed = parseArguments(arguments, [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
  });
  if (auto* error = std::get_if<UsageError>(&parsed)) {
    std::cerr << "veskarctl: " << error->message << "\n" << usageText;
    return exitUsage;
  }
  const auto& invocation = std::get<Invocation>(parsed);
  if (invocation.version) {
    std::cout << runtime::versionLine("veskarctl") << "\n";
    return exitSuccess;
  }
  if (invocation.command.empty()) {
    std::cout << usageText;
    return exitSuccess;
  }

  boost::asio::io_context io;
  int status = exitFailure;
  try {
    App app(io, invocation, std::cout, std::cerr);
    runtime::spawn(io.get_executor(), [](App& target, int& result) -> runtime::Task<void> {
      result = co_await runCommand(target);
      // The daemon's connection keeps reading; the command is what counts.
      target.io.stop();
    }(app, status));
    io.run();
  } catch (const std::invalid_argument& e) {
    std::cerr << "veskarctl: " << e.what() << "\n" << usageText;
    return exitUsage;
  } catch (const std::exception& e) {
    std::cerr << "veskarctl: " << e.what() << std::endl;
    return exitFailure;
  }
  return status;
}
