#include "flowgate/cli/run_command.hpp"

#include "flowgate/config/coding.hpp"
#include "flowgate/provider/control_session.hpp"
#include "flowgate/provider/flowgate_provider.hpp"
#include "platform/connector.hpp"
#include "platform/data_directory.hpp"
#include "platform/dns_configurator_choice.hpp"
#include "platform/linux_settings_applier.hpp"
#include "platform/netlink_path_monitor.hpp"
#include "platform/secret_store.hpp"
#include "platform/system_resolvers.hpp"
#include "platform/tun_packet_flow.hpp"
#include "platform/user_defaults.hpp"
#include "runtime/json_codec.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <atomic>
#include <chrono>
#include <fstream>
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
    "flowgate run --bootstrap FILE --tokens FILE [--high-speed on|off] [--tun NAME]\n";
constexpr const char* defaultTunName = "veskar0";
constexpr const char* defaultsDomain = "flowgate";
// How long the stopped tunnel's last tasks get to wind down before the
// process ends them.
constexpr auto windDown = std::chrono::seconds(3);

struct RunOptions {
  std::string bootstrapFile;
  std::string tokensFile;
  std::optional<bool> highSpeed;
  std::string tunName = defaultTunName;
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

std::string describe(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const runtime::SystemError& e) {
    return e.code().message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "unknown error";
}

// The tunnel's own DNS servers, so the resolver lookup never answers with them.
std::vector<std::string> tunnelDNSServers(const std::string& bootstrap) {
  try {
    return runtime::json::decodeText<ExtensionBootstrap>(bootstrap, bootstrapForm)
        .config.dns.servers;
  } catch (const std::exception&) {
    return {};  // the start reports the bootstrap's fault
  }
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

  auto io = std::make_unique<asio::io_context>(1);  // run by one thread, below
  auto executor = io->get_executor();
  std::unique_ptr<platform::TunDevice> device;
  try {
    device = std::make_unique<platform::TunDevice>(platform::TunDevice::open(options.tunName));
  } catch (...) {
    // The start's outcome too: the tunnel cannot start without its device.
    out << describe(std::current_exception()) << std::endl;
    return exitFailure;
  }
  const std::string tunName = device->name();
  auto flow = std::make_shared<platform::TunPacketFlow>(executor, *device);

  auto resolvers = std::make_shared<platform::LinuxSystemResolvers>();
  resolvers->excludeServers(tunnelDNSServers(*bootstrap));

  auto applier =
      std::make_shared<platform::LinuxSettingsApplier>(tunName, platform::makeDNSConfigurator());
  // A crashed run's resolver file would send this start's own name lookups to
  // a tunnel DNS server nobody answers yet.
  applier->removeLeftovers();

  Flowgate::Environment environment;
  environment.executor = executor;
  environment.packetFlow = flow;
  environment.settingsApplier = applier;
  environment.makePathMonitor = [executor, tunName] {
    auto monitor = std::make_shared<platform::NetlinkPathMonitor>(executor);
    monitor->ignoreInterface(tunName);
    return monitor;
  };
  environment.systemResolvers = resolvers;
  environment.secrets = std::make_shared<platform::FileSecretStore>(
      platform::kDaemonSecretDirectory, platform::sharedAccessGroup());
  environment.defaults =
      std::make_shared<platform::UserDefaults>(platform::daemonDataDirectory(), defaultsDomain);
  environment.makeHttpClient = [executor](const ExtensionBootstrap& started) {
    return makeTunnelControlSession(executor, started);
  };
  environment.geoIPDirectory = platform::daemonDataDirectory();
  environment.sessionOptions.routingMark = platform::kRoutingMark;
  auto provider = Flowgate::create(std::move(environment));

  std::promise<void> stopped;
  std::atomic<bool> stopping = false;
  auto signals = std::make_unique<asio::signal_set>(*io, SIGINT, SIGTERM);
  auto stop = [&] {
    if (stopping.exchange(true)) return;
    provider->stopTunnel([&] {
      // The packet loop may still wait for a packet that will never come.
      asio::post(executor, [&] {
        flow->cancel();
        signals->cancel();
      });
      stopped.set_value();
    });
  };
  signals->async_wait([&](const boost::system::error_code& error, int) {
    if (!error) asio::post(executor, stop);
  });

  std::atomic<int> status = exitSuccess;
  std::atomic<bool> reported = false;  // the one line of the start's outcome
  provider->startTunnel(std::move(startOptions), [&](std::exception_ptr error) {
    if (reported.exchange(true)) return;
    if (error) {
      out << describe(error) << std::endl;
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
  // SIGTERM). What is still waiting in the context ends with it, before the
  // device goes.
  signals.reset();
  flow.reset();
  io.reset();
  device.reset();
  return status.load();
}

int run(Arguments arguments, std::ostream& out, std::ostream& err) {
  RunOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    auto name = arguments[i];
    if (i + 1 >= arguments.size()) return usageError(err, std::string(name) + " needs a value");
    auto value = std::string(arguments[++i]);
    if (name == "--bootstrap") {
      options.bootstrapFile = value;
    } else if (name == "--tokens") {
      options.tokensFile = value;
    } else if (name == "--high-speed") {
      if (value != "on" && value != "off") return usageError(err, "--high-speed is on or off");
      options.highSpeed = value == "on";
    } else if (name == "--tun") {
      if (value.empty()) return usageError(err, "--tun needs a name");
      options.tunName = value;
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
