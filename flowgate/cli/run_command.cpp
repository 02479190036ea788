#include "flowgate/cli/run_command.hpp"

#include "flowgate/daemon/linux_provider.hpp"
#include "flowgate/daemon/start_gate.hpp"
#include "flowgate/provider/flowgate_provider.hpp"
#include "flowgate/provider/start_option_check.hpp"
#include "platform/data_directory.hpp"
#include "platform/log.hpp"
#include "runtime/cancel.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

namespace flowgate::cli {

namespace {

namespace asio = boost::asio;

constexpr std::string_view usage =
    "flowgate run --bootstrap FILE --tokens FILE [--high-speed on|off] [--tun NAME] "
    "[--data-dir DIR] [--ipv6-guard on|off] [--lockdown on|off] [--verbose]\n";
// How long the stopped tunnel's last tasks get to wind down before the
// process ends them.
constexpr auto windDown = std::chrono::seconds(3);

struct RunOptions {
  std::string bootstrapFile;
  std::string tokensFile;
  std::optional<bool> highSpeed;
  bool lockdown = false;
  std::string tunName = daemon::defaultTunName;
  std::filesystem::path dataDirectory = platform::daemonDataDirectory();
  bool ipv6Guard = true;
  bool verbose = false;
};

int usageError(std::ostream& err, std::string_view reason) {
  err << "flowgate run: " << reason << "\nusage:\n" << usage;
  return exitUsage;
}

std::optional<std::string> readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes{std::istreambuf_iterator<char>(in), {}};
  if (in.bad()) return std::nullopt;
  return bytes;
}

int runTunnel(const RunOptions& options, std::ostream& out, std::ostream& err) {
  auto bootstrap = readWhole(options.bootstrapFile);
  if (!bootstrap) {
    err << "flowgate run: cannot read " << options.bootstrapFile << "\n";
    return exitFailure;
  }
  auto tokens = readWhole(options.tokensFile);
  if (!tokens) {
    err << "flowgate run: cannot read " << options.tokensFile << "\n";
    return exitFailure;
  }
  StartOptions startOptions{{bootstrapOption, OptionData{*bootstrap}},
                            {extensionTokensOption, OptionData{*tokens}}};
  if (options.highSpeed) startOptions[highSpeedOption] = *options.highSpeed ? 1.0 : 0.0;
  // Refused before anything reaches the machine, in the start's one line.
  try {
    if (auto decoded = startBootstrap(startOptions)) daemon::checkStart(*decoded, options.tunName);
  } catch (...) {
    out << platform::errorCause(std::current_exception()) << std::endl;
    return exitFailure;
  }

  auto io = std::make_unique<asio::io_context>(1);  // run by one thread, below
  auto executor = io->get_executor();
  daemon::ProviderRun run;
  std::function<void(std::exception_ptr)> failed;  // set below, called on the context's thread
  try {
    // With lockdown the block is in place before the start reaches the network,
    // and stays after the stop; without, a clean stop removes an earlier one.
    auto lockdown = daemon::makeLinuxLockdown(options.tunName, options.lockdown);
    if (options.lockdown) lockdown->takeOver();
    // The log goes to standard error; the outcome line stays alone on standard output.
    auto log = std::make_shared<platform::StderrLog>(options.verbose ? platform::LogLevel::debug
                                                                     : platform::LogLevel::info);
    run = daemon::makeLinuxProvider(
        executor,
        {options.tunName, options.dataDirectory, options.ipv6Guard, std::move(lockdown), log},
        startOptions, {}, [&failed](std::exception_ptr error) { failed(error); });
  } catch (...) {
    // The start's outcome too: the tunnel cannot start without its device.
    out << platform::errorCause(std::current_exception()) << std::endl;
    return exitFailure;
  }
  auto provider = run.provider;

  std::promise<void> stopped;
  std::atomic<bool> stopping = false;
  auto signals = std::make_unique<asio::signal_set>(*io, SIGINT, SIGTERM);
  auto stop = [&] {
    if (stopping.exchange(true)) return;
    provider->stopTunnel([&] {
      // The packet loop may still wait for a packet that will never come.
      asio::post(executor, [&] {
        run.stopped();
        signals->cancel();
      });
      stopped.set_value();
    });
  };
  signals->async_wait([&](const boost::system::error_code& error, int) {
    if (!error) asio::post(executor, stop);
  });

  std::atomic<int> status = exitSuccess;
  // A tunnel that fails once running ends the run like a failed start: its
  // error line, then the stop path, exit status 1.
  failed = [&](std::exception_ptr error) {
    out << platform::errorCause(error) << std::endl;
    status = exitFailure;
    asio::post(executor, stop);
  };
  std::atomic<bool> reported = false;  // the one line of the start's outcome
  provider->startTunnel(std::move(startOptions), [&](std::exception_ptr error) {
    if (reported.exchange(true)) return;
    if (error) {
      out << platform::errorCause(error) << std::endl;
      status = exitFailure;
      asio::post(executor, stop);
    } else {
      out << "connected" << std::endl;
    }
  });

  // One thread: the packet path runs on one strand anyway, and a second thread
  // only woke up to hand work back and forth (a context switch per hop).
  std::vector<std::thread> threads;
  threads.emplace_back([&io] { io->run(); });
  stopped.get_future().wait();
  // Stop has removed the settings; whatever still runs is winding down.
  auto deadline = std::chrono::steady_clock::now() + windDown;
  while (!io->stopped() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  io->stop();
  for (auto& thread : threads) thread.join();
  if (!reported.exchange(true)) {
    // Stopped while the start still waited on the network.
    out << runtime::CancellationError().what() << std::endl;
    status = exitFailure;
  }
  provider.reset();
  // Every I/O object goes before its context: one destroyed after it would
  // deregister from a reactor already freed (the heap corruption seen at
  // SIGTERM). What is still waiting in the context ends with it, and the
  // device with the last holder of the packet flow.
  signals.reset();
  run = {};
  io.reset();
  return status.load();
}

int run(Arguments arguments, std::ostream& out, std::ostream& err) {
  RunOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    auto name = arguments[i];
    if (name == "--verbose") {
      options.verbose = true;
      continue;
    }
    if (i + 1 >= arguments.size()) return usageError(err, std::string(name) + " needs a value");
    auto value = std::string(arguments[++i]);
    if (name == "--bootstrap") {
      options.bootstrapFile = value;
    } else if (name == "--tokens") {
      options.tokensFile = value;
    } else if (name == "--high-speed") {
      if (value != "on" && value != "off") return usageError(err, "--high-speed is on or off");
      options.highSpeed = value == "on";
    } else if (name == "--lockdown") {
      if (value != "on" && value != "off") return usageError(err, "--lockdown is on or off");
      options.lockdown = value == "on";
    } else if (name == "--data-dir") {
      if (value.empty()) return usageError(err, "--data-dir needs a folder");
      options.dataDirectory = value;
    } else if (name == "--tun") {
      if (value.empty()) return usageError(err, "--tun needs a name");
      options.tunName = value;
    } else if (name == "--ipv6-guard") {
      if (value != "on" && value != "off") return usageError(err, "--ipv6-guard is on or off");
      options.ipv6Guard = value == "on";
    } else {
      return usageError(err, "unknown option " + std::string(name));
    }
  }
  if (options.bootstrapFile.empty() || options.tokensFile.empty()) {
    return usageError(err, "--bootstrap and --tokens are required");
  }
  if (::geteuid() != 0) {
    err << "flowgate run: must run as root\n";
    return exitFailure;
  }
  return runTunnel(options, out, err);
}

}  // namespace

const Command runCommand{"run", usage, run};

}  // namespace flowgate::cli
