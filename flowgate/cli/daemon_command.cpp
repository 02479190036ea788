#include "flowgate/cli/daemon_command.hpp"

#include "flowgate/daemon/control_origins.hpp"
#include "flowgate/daemon/control_socket_server.hpp"
#include "flowgate/daemon/linux_provider.hpp"
#include "flowgate/daemon/start_gate.hpp"
#include "flowgate/daemon/tunnel_host_service.hpp"
#include "platform/data_directory.hpp"
#include "platform/log.hpp"
#include "platform/user_defaults.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <malloc.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace flowgate::cli {

namespace {

namespace asio = boost::asio;

constexpr std::string_view usage =
    "flowgate daemon [--socket PATH] [--data-dir DIR] [--group NAME] [--tun NAME] "
    "[--ipv6-guard on|off] [--lockdown on|off] [--control-origin URL]... [--verbose]\n";
// The daemon's setting, in its user defaults; the command line overrides it.
constexpr const char* ipv6GuardKey = "ipv6LeakGuard";
constexpr const char* lockdownKey = "lockdown";
// The control servers members may start tunnels against (a list of URLs);
// given on the command line, the command line's alone count.
constexpr const char* controlOriginsKey = "controlOrigins";
// How long a tunnel gets to stop at shutdown before its leftovers are removed
// the hard way.
constexpr auto stopBound = std::chrono::seconds(10);
constexpr int threadCount = 2;
constexpr auto trimDelay = std::chrono::milliseconds(500);

struct DaemonOptions {
  daemon::ControlSocketOptions socket;
  daemon::LinuxProviderOptions provider;
  std::optional<bool> ipv6Guard;
  std::optional<bool> lockdown;
  std::vector<std::string> controlOrigins;
  bool verbose = false;
};

int usageError(std::ostream& err, std::string_view reason) {
  err << "flowgate daemon: " << reason << "\nusage:\n" << usage;
  return exitUsage;
}

std::optional<int> parse(Arguments arguments, DaemonOptions& options, std::ostream& err) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    auto name = arguments[i];
    if (name == "--verbose") {
      options.verbose = true;
      continue;
    }
    if (i + 1 >= arguments.size()) return usageError(err, std::string(name) + " needs a value");
    auto value = std::string(arguments[++i]);
    if (value.empty()) return usageError(err, std::string(name) + " needs a value");
    if (name == "--socket") {
      options.socket.path = value;
    } else if (name == "--data-dir") {
      options.provider.dataDirectory = value;
    } else if (name == "--group") {
      options.socket.group = value;
    } else if (name == "--tun") {
      options.provider.tunName = value;
    } else if (name == "--ipv6-guard") {
      if (value != "on" && value != "off") return usageError(err, "--ipv6-guard is on or off");
      options.ipv6Guard = value == "on";
    } else if (name == "--lockdown") {
      if (value != "on" && value != "off") return usageError(err, "--lockdown is on or off");
      options.lockdown = value == "on";
    } else if (name == "--control-origin") {
      if (!daemon::controlOrigin(value))
        return usageError(err, "--control-origin needs an https URL");
      options.controlOrigins.push_back(value);
    } else {
      return usageError(err, "unknown option " + std::string(name));
    }
  }
  return std::nullopt;
}

// The origins given, else those of the settings, else the build's.
std::optional<daemon::ControlOrigins> controlOrigins(const DaemonOptions& options,
                                                     const platform::UserDefaults& defaults,
                                                     std::ostream& err) {
  std::vector<std::string> urls = options.controlOrigins;
  if (auto kept = defaults.value(controlOriginsKey); urls.empty() && kept) {
    if (!kept->is_array()) {
      err << "flowgate daemon: " << controlOriginsKey << " is not a list of URLs\n";
      return std::nullopt;
    }
    for (const auto& url : kept->as_array()) {
      if (!url.is_string()) {
        err << "flowgate daemon: " << controlOriginsKey << " is not a list of URLs\n";
        return std::nullopt;
      }
      urls.emplace_back(url.as_string());
    }
  }
  try {
    return urls.empty() ? daemon::ControlOrigins::built() : daemon::ControlOrigins(urls);
  } catch (const std::invalid_argument& e) {
    err << "flowgate daemon: " << e.what() << "\n";
    return std::nullopt;
  }
}

int serve(DaemonOptions options, std::ostream& err) {
  auto log = platform::makeSystemLog("flowgate", options.verbose);
  options.provider.log = log;
  auto defaults = std::make_shared<platform::UserDefaults>(options.provider.dataDirectory,
                                                           daemon::defaultsDomain);
  if (!options.ipv6Guard) options.ipv6Guard = defaults->boolean(ipv6GuardKey).value_or(true);
  options.provider.ipv6LeakGuard = *options.ipv6Guard;
  auto origins = controlOrigins(options, *defaults, err);
  if (!origins) return exitFailure;
  options.socket.admitStart = [gate = daemon::StartGate{*origins, options.provider.tunName}](
                                  const platform::TunnelStartOptions& start, uid_t caller) {
    gate.admit(start, caller);
  };

  // Before anything else: a crashed run may have left the machine routed into
  // a tunnel nobody serves.
  daemon::removeLeftovers(options.provider.tunName);
  bool lockdown = options.lockdown.value_or(defaults->boolean(lockdownKey).value_or(false));
  try {
    options.provider.lockdown = daemon::makeLinuxLockdown(options.provider.tunName, lockdown);
    options.provider.lockdown->takeOver();
  } catch (const std::exception& e) {
    err << "flowgate daemon: lockdown: " << e.what() << "\n";
    log->error("lockdown not in place: " + platform::errorCause(std::current_exception()));
    // Asked for and not in place: no service that looks protected.
    if (lockdown || !options.provider.lockdown) return exitFailure;
  }

  auto io = std::make_unique<asio::io_context>(threadCount);
  auto executor = io->get_executor();
  auto work = asio::make_work_guard(*io);
  auto service = daemon::TunnelHostService::create(
      executor, options.provider.dataDirectory,
      [executor, provider = options.provider](
          const StartOptions& startOptions, std::function<void(bool)> reassertingChanged,
          std::function<void(std::exception_ptr)> cancelledWithError) {
        return daemon::makeLinuxProvider(executor, provider, startOptions,
                                         std::move(reassertingChanged),
                                         std::move(cancelledWithError));
      },
      {options.provider.lockdown,
       [defaults](bool enabled) { defaults->setBool(lockdownKey, enabled); }});
  // A stopped run has freed its tables and buffers; an idle daemon hands that
  // memory back instead of keeping it in the allocator's arenas. Later, so
  // the run's last tasks have wound down.
  service->addStatusObserver([executor](const platform::TunnelStatusChange& change) {
    if (change.status != platform::TunnelStatus::disconnected) return;
    auto timer = std::make_shared<asio::steady_timer>(executor, trimDelay);
    timer->async_wait([timer](const boost::system::error_code&) { ::malloc_trim(0); });
  });
  auto server = daemon::ControlSocketServer::create(executor, service, options.socket);
  try {
    server->start();
  } catch (const std::exception& e) {
    err << "flowgate daemon: cannot serve " << options.socket.path.string() << ": " << e.what()
        << "\n";
    log->error("control socket not served: " + platform::errorCause(std::current_exception()));
    return exitFailure;
  }

  std::promise<void> signalled;
  auto signals = std::make_unique<asio::signal_set>(*io, SIGINT, SIGTERM);
  signals->async_wait([&](const boost::system::error_code& error, int) {
    if (!error) signalled.set_value();
  });
  std::vector<std::thread> threads;
  for (int i = 0; i < threadCount; ++i) threads.emplace_back([&io] { io->run(); });
  ::sd_notify(0, "READY=1");
  log->notice("daemon started");
  // After a kill while a tunnel ran, that tunnel again (its failure is the
  // configuration's last disconnect error).
  runtime::spawn(executor, service->resumeInterruptedRun(), [log](std::exception_ptr error) {
    if (error) log->error("interrupted tunnel not resumed: " + platform::errorCause(error));
  });

  signalled.get_future().wait();
  ::sd_notify(0, "STOPPING=1");
  log->notice("daemon stopping");
  auto tunnelStopped = std::make_shared<std::promise<void>>();
  auto stoppedFuture = tunnelStopped->get_future();
  runtime::spawn(
      executor,
      [](std::shared_ptr<daemon::TunnelHostService> host,
         std::shared_ptr<std::promise<void>> done) -> runtime::Task<void> {
        co_await host->stopAll();
        done->set_value();
      }(service, tunnelStopped),
      [tunnelStopped](std::exception_ptr error) { tunnelStopped->set_exception(error); });
  bool stoppedCleanly = stoppedFuture.wait_for(stopBound) == std::future_status::ready;
  if (stoppedCleanly) {
    try {
      stoppedFuture.get();
    } catch (...) {
      stoppedCleanly = false;
    }
  }
  std::promise<void> serverStopped;
  asio::post(executor, [&] {
    server->stop();
    serverStopped.set_value();
  });
  serverStopped.get_future().wait();

  work.reset();
  io->stop();
  for (auto& thread : threads) thread.join();
  if (!stoppedCleanly) {
    log->error("tunnel did not stop in time; its leftovers are removed");
    daemon::removeLeftovers(options.provider.tunName);
    // Stopping the daemon stops its tunnel for good, however it went.
    daemon::RunningTunnelFile(options.provider.dataDirectory).remove();
  }
  // I/O objects go before their context (one destroyed after it would touch
  // the freed reactor).
  signals.reset();
  server.reset();
  service.reset();
  io.reset();
  log->notice("daemon stopped");
  return exitSuccess;
}

int run(Arguments arguments, std::ostream&, std::ostream& err) {
  DaemonOptions options;
  if (auto status = parse(arguments, options, err)) return *status;
  if (::geteuid() != 0) {
    err << "flowgate daemon: must run as root\n";
    return exitFailure;
  }
  return serve(std::move(options), err);
}

}  // namespace

const Command daemonCommand{"daemon", usage, run};

}  // namespace flowgate::cli
