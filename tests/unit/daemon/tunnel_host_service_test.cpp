// The daemon's tunnel host around a provider on the platform doubles: the
// status each step of a run produces, the refusals, the saved configurations
// across daemon restarts.

#include "flowgate/daemon/tunnel_host_service.hpp"
#include "platform/tunnel_host_protocol.hpp"
#include "tests/support/tunnel_host/veskar_configuration.hpp"
#include "tests/unit/provider/provider_fixture.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace platform {
void PrintTo(const TunnelErrorInfo& info, std::ostream* out) {
  *out << info.domain << " " << info.code << " " << info.message;
}
}  // namespace platform

namespace {

using namespace provider_test;
using flowgate::daemon::ConfigurationStore;
using flowgate::daemon::ProviderRun;
using flowgate::daemon::TunnelHostService;
using platform::TunnelHostError;
using platform::TunnelStatus;

platform::TunnelConfiguration veskarConfiguration(bool enabled = true) {
  return testsupport::veskarConfiguration("control.test", enabled);
}

platform::TunnelStartOptions hostOptions() {
  platform::TunnelStartOptions options;
  for (const auto& [key, value] : startOptions()) {
    options[key] = platform::TunnelOptionData{std::get<OptionData>(value).bytes};
  }
  options[highSpeedOption] = 1.0;
  return options;
}

class TunnelHostServiceTest : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    service = makeService();
  }
  void TearDown() override {
    if (service) call(service->stopAll());
    service.reset();
    ProviderTest::TearDown();
  }

  std::shared_ptr<TunnelHostService> makeService() {
    auto made = TunnelHostService::create(
        io.get_executor(), directory / "daemon",
        [this](const StartOptions& options, std::function<void(bool)> reassertingChanged,
               std::function<void(std::exception_ptr)> cancelledWithError) {
          if (factoryFailure) throw runtime::SystemError(factoryFailure);
          if (!factoryException.empty()) throw std::invalid_argument(factoryException);
          EXPECT_EQ(std::get<double>(options.at(highSpeedOption)), 1.0);
          auto env = environment();
          env.reassertingChanged = std::move(reassertingChanged);
          env.cancelTunnelWithError = std::move(cancelledWithError);
          return ProviderRun{Flowgate::create(std::move(env)), [this] { ++releases; }};
        });
    made->addStatusObserver(
        [this](const platform::TunnelStatusChange& change) { events.push_back(change.status); });
    return made;
  }

  // The task's value, or the error it failed with.
  template <class T>
  struct Outcome {
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    runtime::ErrorCode error;
  };
  template <class T>
  Outcome<T> call(runtime::Task<T> task) {
    Outcome<T> outcome;
    bool done = false;
    runtime::spawn(
        io.get_executor(),
        [](runtime::Task<T> inner, Outcome<T>* out, bool* finished) -> runtime::Task<void> {
          try {
            if constexpr (std::is_void_v<T>) {
              co_await std::move(inner);
              out->value = true;
            } else {
              out->value = co_await std::move(inner);
            }
          } catch (const runtime::SystemError& e) {
            out->error = e.code();
          }
          *finished = true;
        }(std::move(task), &outcome, &done));
    EXPECT_TRUE(runUntil([&] { return done; }));
    return outcome;
  }

  std::string saved(bool enabled = true) {
    auto stored = call(service->saveToPreferences(veskarConfiguration(enabled)));
    EXPECT_TRUE(stored.value);
    return stored.value ? stored.value->identifier : "";
  }
  platform::TunnelConnection connection(const std::string& identifier) {
    return *call(service->connection(identifier)).value;
  }
  bool reaches(const std::string& identifier, TunnelStatus status) {
    return runUntil([&] { return connection(identifier).status == status; });
  }

  std::shared_ptr<TunnelHostService> service;
  std::vector<TunnelStatus> events;
  runtime::ErrorCode factoryFailure;
  std::string factoryException;
  int releases = 0;
};

TEST_F(TunnelHostServiceTest, ARunGoesThroughItsStatusesInOrder) {
  auto id = saved();
  EXPECT_EQ(connection(id).status, TunnelStatus::disconnected);
  EXPECT_EQ(connection("never-saved").status, TunnelStatus::invalid);

  ASSERT_FALSE(call(service->startVPNTunnel(id, hostOptions())).error);
  ASSERT_TRUE(reaches(id, TunnelStatus::connected));

  // A lost lease re-authorizes: reasserting, then connected again.
  leaseMismatch = true;
  advance(Flowgate::heartbeatPeriod);
  leaseMismatch = false;
  ASSERT_TRUE(runUntil([&] { return events.size() == 4; }));

  // The stop completes once the provider has stopped.
  ASSERT_FALSE(call(service->stopVPNTunnel(id)).error);
  EXPECT_EQ(connection(id).status, TunnelStatus::disconnected);
  EXPECT_EQ(events, (std::vector{TunnelStatus::connecting, TunnelStatus::connected,
                                 TunnelStatus::reasserting, TunnelStatus::connected,
                                 TunnelStatus::disconnecting, TunnelStatus::disconnected}));
  EXPECT_EQ(releases, 1);
  EXPECT_GT(applier->removals(), 0u);
  EXPECT_FALSE(connection(id).lastDisconnectError);

  // The next run is a fresh provider.
  ASSERT_FALSE(call(service->startVPNTunnel(id, hostOptions())).error);
  ASSERT_TRUE(reaches(id, TunnelStatus::connected));
}

TEST_F(TunnelHostServiceTest, AFailedStartEndsDisconnectedWithItsError) {
  struct Case {
    const char* name;
    bool trustUnreachable;
    runtime::ErrorCode factoryFailure;
    std::string factoryException;
    platform::TunnelErrorInfo expected;
  };
  const Case cases[] = {
      {"trust bundle unreachable", true, {}, {}, {"flowgate.trust-store", 3, "unavailable"}},
      {"no TUN device",
       false,
       runtime::ErrorCode(ENODEV, boost::system::system_category()),
       {},
       {"system", ENODEV, std::strerror(ENODEV)}},
      {"not a system error",
       false,
       {},
       "bad device name",
       {TunnelHostService::otherErrorDomain, 1, "bad device name"}},
  };
  auto id = saved();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    trustUnreachable = c.trustUnreachable;
    factoryFailure = c.factoryFailure;
    factoryException = c.factoryException;
    ASSERT_FALSE(call(service->startVPNTunnel(id, hostOptions())).error);
    ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (std::vector{TunnelStatus::connecting, TunnelStatus::disconnected}));
    EXPECT_EQ(connection(id).lastDisconnectError, c.expected);
  }
  // A start that gets through clears the last run's error.
  trustUnreachable = false;
  factoryFailure = {};
  factoryException.clear();
  ASSERT_FALSE(call(service->startVPNTunnel(id, hostOptions())).error);
  ASSERT_TRUE(reaches(id, TunnelStatus::connected));
  EXPECT_FALSE(connection(id).lastDisconnectError);
}

TEST_F(TunnelHostServiceTest, ARunThatFailsOnItsOwnEndsDisconnectedAndAKilledOneStartsAgain) {
  auto id = saved();
  auto record = directory / "daemon" / flowgate::daemon::RunningTunnelFile::fileName;
  ASSERT_FALSE(call(service->startVPNTunnel(id, hostOptions())).error);
  ASSERT_TRUE(reaches(id, TunnelStatus::connected));
  EXPECT_EQ(std::filesystem::status(record).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  // What a kill leaves: the record of a run no stop ended.
  auto left = directory / "left.json";
  std::filesystem::copy_file(record, left);

  // Our link comes back up but cannot be set up again.
  const platform::NetworkInterface link{"veskar0", platform::InterfaceType::other, 9};
  for (bool up : {true, false, true}) {
    monitor->publish({{}, up ? std::vector{link} : std::vector<platform::NetworkInterface>{}});
  }
  applier->failWith(runtime::ErrorCode(EIO, boost::system::system_category()));
  ASSERT_TRUE(reaches(id, TunnelStatus::disconnected));
  EXPECT_EQ(connection(id).lastDisconnectError,
            (platform::TunnelErrorInfo{"system", EIO, std::strerror(EIO)}));
  EXPECT_EQ(releases, 1);
  EXPECT_FALSE(std::filesystem::exists(record));

  // The next daemon starts the killed run again, with the tokens refreshed
  // since rather than the record's; a failed restart removes the record.
  applier->failWith({});
  const StoredTokenState refreshed{"access-2", "refresh-2", runtime::Date{900000000}};
  for (auto failure :
       {runtime::ErrorCode(), runtime::ErrorCode(ENODEV, boost::system::system_category())}) {
    saveTokens(*secrets, refreshed);
    std::filesystem::copy_file(left, record, std::filesystem::copy_options::overwrite_existing);
    factoryFailure = failure;
    service = makeService();
    events.clear();
    ASSERT_FALSE(call(service->resumeInterruptedRun()).error);
    ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events[1], failure ? TunnelStatus::disconnected : TunnelStatus::connected);
    EXPECT_EQ(connection(id).lastDisconnectError.has_value(), static_cast<bool>(failure));
    EXPECT_EQ(loadTokens(*secrets), refreshed);
    ASSERT_FALSE(call(service->stopAll()).error);
    EXPECT_FALSE(std::filesystem::exists(record));
  }
}

TEST_F(TunnelHostServiceTest, RefusesWhatItCannotDo) {
  auto id = saved();
  auto disabled = saved(false);
  auto error = [](TunnelHostError e) { return runtime::makeErrorCode(e); };

  EXPECT_EQ(call(service->startVPNTunnel("unknown", hostOptions())).error,
            error(TunnelHostError::notFound));
  EXPECT_EQ(call(service->stopVPNTunnel("unknown")).error, error(TunnelHostError::notFound));
  EXPECT_EQ(call(service->loadFromPreferences("unknown")).error, error(TunnelHostError::notFound));
  EXPECT_EQ(call(service->removeFromPreferences("unknown")).error,
            error(TunnelHostError::notFound));
  auto stranger = veskarConfiguration();
  stranger.identifier = "not-given-by-us";
  EXPECT_EQ(call(service->saveToPreferences(stranger)).error, error(TunnelHostError::notFound));
  EXPECT_EQ(call(service->startVPNTunnel(disabled, hostOptions())).error,
            error(TunnelHostError::disabled));
  EXPECT_EQ(call(service->sendProviderMessage(id, "node-status", true)).error,
            error(TunnelHostError::notRunning));
  // Stopping what does not run is no error.
  EXPECT_FALSE(call(service->stopVPNTunnel(id)).error);

  hold = true;  // the start waits on the trust bundle
  ASSERT_FALSE(call(service->startVPNTunnel(id, hostOptions())).error);
  EXPECT_EQ(connection(id).status, TunnelStatus::connecting);
  EXPECT_EQ(call(service->startVPNTunnel(id, hostOptions())).error,
            error(TunnelHostError::alreadyRunning));
  hold = false;
  heldTimer->cancel();
  ASSERT_TRUE(reaches(id, TunnelStatus::connected));
  // One provider at a time, whichever configuration asks.
  auto other = saved();
  EXPECT_EQ(call(service->startVPNTunnel(other, hostOptions())).error,
            error(TunnelHostError::alreadyRunning));
  EXPECT_EQ(call(service->sendProviderMessage(other, "node-status", true)).error,
            error(TunnelHostError::notRunning));
}

TEST_F(TunnelHostServiceTest, AStopDuringTheStartLeavesNoErrorBehind) {
  auto id = saved();
  hold = true;
  ASSERT_FALSE(call(service->startVPNTunnel(id, hostOptions())).error);
  ASSERT_FALSE(call(service->stopVPNTunnel(id)).error);
  EXPECT_EQ(events, (std::vector{TunnelStatus::connecting, TunnelStatus::disconnecting,
                                 TunnelStatus::disconnected}));
  EXPECT_FALSE(connection(id).lastDisconnectError);
  EXPECT_EQ(releases, 1);
}

TEST_F(TunnelHostServiceTest, ProviderMessagesReachTheRunningProvider) {
  auto id = saved();
  ASSERT_FALSE(call(service->startVPNTunnel(id, hostOptions())).error);
  ASSERT_TRUE(reaches(id, TunnelStatus::connected));
  auto reply = call(service->sendProviderMessage(id, "node-status", true));
  ASSERT_TRUE(reply.value && *reply.value) << reply.error.message();
  EXPECT_NE((*reply.value)->find("\"nodes\""), std::string::npos) << **reply.value;
  auto unwanted = call(service->sendProviderMessage(id, "node-status", false));
  ASSERT_TRUE(unwanted.value);
  EXPECT_FALSE(*unwanted.value);
}

TEST_F(TunnelHostServiceTest, ConfigurationsOutliveTheDaemon) {
  auto first = saved();
  auto second = call(service->saveToPreferences(veskarConfiguration())).value->identifier;
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
      << first;
  EXPECT_NE(first, second);
  auto changed = *call(service->loadFromPreferences(second)).value;
  changed.localizedDescription = "Changed";
  changed.providerConfiguration["extra"] = "x";
  ASSERT_FALSE(call(service->saveToPreferences(changed)).error);
  ASSERT_FALSE(call(service->removeFromPreferences(first)).error);

  service = makeService();
  auto all = *call(service->loadAllFromPreferences()).value;
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0], changed);
  EXPECT_EQ(connection(second).status, TunnelStatus::disconnected);
  EXPECT_EQ(connection(first).status, TunnelStatus::invalid);
}

TEST_F(TunnelHostServiceTest, ACorruptFileIsSetAsideAndTheHostStartsEmpty) {
  saved();
  auto path = directory / "daemon" / flowgate::daemon::ConfigurationStore::fileName;
  for (const char* content : {"{\"configurations\":[{\"identifier\":\"x\"}]}", "not json", ""}) {
    SCOPED_TRACE(content);
    std::ofstream(path, std::ios::trunc) << content;
    service = makeService();
    EXPECT_TRUE(call(service->loadAllFromPreferences()).value->empty());
    EXPECT_TRUE(std::filesystem::exists(path.string() + ".corrupt"));
    // Saving again works, and the next daemon reads it.
    saved();
    EXPECT_EQ(call(makeService()->loadAllFromPreferences()).value->size(), 1u);
  }

  // Larger than the host ever writes: set aside unread.
  std::ofstream(path, std::ios::trunc).close();
  std::filesystem::resize_file(path, 70 << 20);
  service = makeService();
  EXPECT_TRUE(call(service->loadAllFromPreferences()).value->empty());
  EXPECT_EQ(std::filesystem::file_size(path.string() + ".corrupt"), 70u << 20);
}

TEST_F(TunnelHostServiceTest, TheSavedStateIsBounded) {
  namespace protocol = platform::tunnel_protocol;
  auto padded = veskarConfiguration();
  auto& padding = padded.providerConfiguration["padding"];
  padding = std::string(ConfigurationStore::maxConfigurationSize - 512, 'p');
  std::vector<std::string> identifiers;
  for (std::size_t i = 0; i < ConfigurationStore::maxConfigurations; ++i) {
    identifiers.push_back(call(service->saveToPreferences(padded)).value.value().identifier);
  }
  EXPECT_EQ(call(service->saveToPreferences(veskarConfiguration())).error,
            TunnelHostError::tooManyConfigurations);
  padded.identifier = identifiers[0];
  padding = std::string(ConfigurationStore::maxConfigurationSize, 'p');
  EXPECT_EQ(call(service->saveToPreferences(padded)).error, TunnelHostError::configurationTooLarge);
  // A full host takes a replacement; the next daemon reads all of them, in one reply.
  auto replaced = veskarConfiguration();
  replaced.identifier = identifiers[1];
  ASSERT_FALSE(call(service->saveToPreferences(replaced)).error);
  auto all = *call(makeService()->loadAllFromPreferences()).value;
  ASSERT_EQ(all.size(), ConfigurationStore::maxConfigurations);
  EXPECT_EQ(all[1], replaced);
  EXPECT_LE(protocol::encodeResult(1, protocol::encodeConfigurations(all)).size(),
            protocol::maxFrameLength);
}

class TableFirewall final : public platform::LockdownFirewall {
 public:
  void install(const platform::LockdownRules&) override { installed_ = true; }
  void remove() override { installed_ = false; }
  bool installed() override { return installed_; }

 private:
  bool installed_ = false;
};

TEST_F(TunnelHostServiceTest, LockdownIsKeptBeforeItBlocksAndOpensBeforeItIsForgotten) {
  EXPECT_EQ(call(service->lockdown()).value, false);
  EXPECT_EQ(call(service->setLockdown(true)).error, TunnelHostError::unknownOperation);

  auto firewall = std::make_shared<TableFirewall>();
  std::vector<bool> kept;
  runtime::ErrorCode keepFailure;
  flowgate::daemon::LockdownSetting setting{
      std::make_shared<platform::Lockdown>(firewall, "vk0", std::vector<platform::IPv4Route>{},
                                           false),
      [&](bool enabled) {
        if (keepFailure) throw runtime::SystemError(keepFailure);
        kept.push_back(enabled);
      }};
  auto host = TunnelHostService::create(
      io.get_executor(), directory / "locked",
      [](const StartOptions&, std::function<void(bool)>, std::function<void(std::exception_ptr)>) {
        return ProviderRun{};
      },
      setting);
  // A choice that cannot be kept is refused whole: what is reported stays true.
  keepFailure = runtime::ErrorCode(ENOSPC, boost::system::system_category());
  EXPECT_EQ(call(host->setLockdown(true)).error, boost::system::errc::no_space_on_device);
  EXPECT_FALSE(firewall->installed());
  keepFailure = {};
  EXPECT_TRUE(call(host->setLockdown(true)).value);
  EXPECT_TRUE(firewall->installed());
  // Off: opened, then kept; a failure to keep it leaves the next start blocked.
  keepFailure = runtime::ErrorCode(ENOSPC, boost::system::system_category());
  EXPECT_TRUE(call(host->setLockdown(false)).error);
  EXPECT_FALSE(firewall->installed());
  EXPECT_EQ(kept, std::vector<bool>{true});
}

}  // namespace
