#include "flowgate/daemon/linux_provider.hpp"

#include "flowgate/daemon/control_origins.hpp"
#include "flowgate/provider/control_session.hpp"
#include "flowgate/provider/network_settings_builder.hpp"
#include "flowgate/provider/start_option_check.hpp"
#include "flowgate/routing/name_resolver.hpp"
#include "platform/atomic_file.hpp"
#include "platform/blocking_worker.hpp"
#include "platform/connector.hpp"
#include "platform/dns_configurator_choice.hpp"
#include "platform/linux_settings_applier.hpp"
#include "platform/netlink_path_monitor.hpp"
#include "platform/nft_lockdown_firewall.hpp"
#include "platform/secret_store.hpp"
#include "platform/system_resolvers.hpp"
#include "platform/tun_packet_flow.hpp"
#include "platform/user_defaults.hpp"

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <chrono>
#include <thread>

namespace flowgate::daemon {

namespace {

// The packet flow of a device it owns, so the device closes only once nothing
// reads from it any more.
class OwnedTunFlow final : public platform::PacketFlow {
 public:
  OwnedTunFlow(const runtime::Executor& executor, platform::TunDevice device)
      : device_(std::move(device)), flow_(executor, device_) {}

  runtime::Task<platform::PacketBatch> readPackets() override { return flow_.readPackets(); }
  runtime::Task<void> readPacketsInto(platform::PacketBatch& batch) override {
    return flow_.readPacketsInto(batch);
  }
  void writePackets(std::span<const runtime::SharedBytes> packets,
                    std::span<const int> protocols) override {
    flow_.writePackets(packets, protocols);
  }
  void cancel() { flow_.cancel(); }

 private:
  platform::TunDevice device_;
  platform::TunPacketFlow flow_;
};

// The previous run's device goes once its packet loop has let go of it, a
// moment after its stop; until then the name is busy.
platform::TunDevice openDevice(const std::string& name) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (true) {
    try {
      return platform::TunDevice::open(name, platform::TunOffload::tcp);
    } catch (const boost::system::system_error& e) {
      if (e.code().value() != EBUSY || std::chrono::steady_clock::now() > deadline) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Where the run keeps what it learns of its control server. A bootstrap that
// does not decode ends the start before anything is kept.
std::filesystem::path stateDirectory(const std::filesystem::path& dataDirectory,
                                     const std::optional<ExtensionBootstrap>& bootstrap) {
  auto origin = bootstrap ? controlOrigin(bootstrap->controlURL) : std::nullopt;
  auto directory = originDirectory(dataDirectory, origin.value_or("none"));
  platform::createDirectories(directory, 0700);
  return directory;
}

}  // namespace

ProviderRun makeLinuxProvider(runtime::Executor executor, const LinuxProviderOptions& options,
                              const StartOptions& startOptions,
                              std::function<void(bool)> reassertingChanged,
                              std::function<void(std::exception_ptr)> cancelledWithError) {
  auto flow = std::make_shared<OwnedTunFlow>(executor, openDevice(options.tunName));
  const std::string tunName = options.tunName;

  // One thread for every blocking platform call of the run, off the I/O threads.
  auto worker = std::make_shared<platform::BlockingWorker>();
  platform::LinuxSystemResolvers::Options resolverOptions;
  resolverOptions.worker = worker;
  auto resolvers = std::make_shared<platform::LinuxSystemResolvers>(std::move(resolverOptions));
  auto bootstrap = startBootstrap(startOptions);
  // The tunnel's own DNS servers: the resolver lookup must never answer with them.
  if (bootstrap) resolvers->excludeServers(bootstrap->config.dns.servers);
  auto state = stateDirectory(options.dataDirectory, bootstrap);
  auto applier = std::make_shared<platform::LinuxSettingsApplier>(
      tunName, platform::makeDNSConfigurator(), options.ipv6LeakGuard, worker, options.lockdown);

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
  environment.secrets =
      std::make_shared<platform::FileSecretStore>(state / "secrets", platform::sharedAccessGroup());
  environment.defaults = std::make_shared<platform::UserDefaults>(state, defaultsDomain);
  // Node and control names go to the physical network's resolvers the
  // provider hands it, on marked sockets.
  auto names = NameResolver::create();
  environment.nameResolver = names;
  environment.makeHttpClient = [executor,
                                lookup = names->hook()](const ExtensionBootstrap& started) {
    return makeTunnelControlSession(executor, started, lookup);
  };
  environment.geoIPDirectory = state;
  environment.sessionOptions.routingMark = platform::kRoutingMark;
  environment.sessionOptions.nameLookup = names->hook();
  environment.reassertingChanged = std::move(reassertingChanged);
  environment.cancelTunnelWithError = std::move(cancelledWithError);
  environment.log = options.log;
  // The read waits on the executor's threads; the cancel goes there too.
  return {Flowgate::create(std::move(environment)),
          [flow, executor] { boost::asio::post(executor, [flow] { flow->cancel(); }); }};
}

std::shared_ptr<platform::Lockdown> makeLinuxLockdown(const std::string& tunName, bool enabled) {
  std::vector<platform::IPv4Route> local;
  for (const char* range : reservedRanges) {
    if (auto route = runtime::ipv4::route(range)) local.push_back(*route);
  }
  return std::make_shared<platform::Lockdown>(std::make_shared<platform::NftLockdownFirewall>(),
                                              tunName, std::move(local), enabled);
}

void removeLeftovers(const std::string& tunName) {
  platform::LinuxSettingsApplier(tunName, platform::makeDNSConfigurator()).removeLeftovers();
}

}  // namespace flowgate::daemon
