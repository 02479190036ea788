#pragma once

// A provider on the platform doubles, with a scripted control server: the
// trust bundle, the GeoIP manifest and table, and heartbeats. Time is a
// manual clock; the io_context runs until what the test waits for happened.

#include "flowgate/config/coding.hpp"
#include "flowgate/control/authorization_messages.hpp"
#include "flowgate/control/token_store.hpp"
#include "flowgate/provider/flowgate_provider.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "platform/digest.hpp"
#include "platform/fake_http_client.hpp"
#include "platform/memory_packet_flow.hpp"
#include "platform/recording_settings_applier.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/key_case.hpp"
#include "runtime/spawn.hpp"
#include "tests/unit/control/test_certificate.hpp"

#include <gtest/gtest.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <filesystem>
#include <map>

namespace provider_test {

using namespace flowgate;
namespace asio = boost::asio;

inline ExtensionBootstrap testBootstrap() {
  ExtensionBootstrap bootstrap;
  bootstrap.controlURL = "https://control.test";
  bootstrap.controlIPv4 = {"198.51.100.20"};
  bootstrap.deviceKey = "device";
  bootstrap.deviceID = 7;
  bootstrap.deviceCredential = "credential";
  bootstrap.credentialExpiresAt = "2040-01-01T00:00:00Z";
  bootstrap.vpnIPv4 = "198.19.0.2";
  bootstrap.leaseExpiresAt = "2040-01-01T00:00:00Z";
  auto& config = bootstrap.config;
  config.version = 1;
  config.mtu = 1400;
  config.vpnCidr = "198.19.0.0/16";
  ExtensionNode node;
  node.id = 1;
  node.name = "relay1";
  node.address = "192.0.2.131:443";
  config.nodes = {node};
  config.defaultNodes = {1};
  config.dns.servers = {"198.19.0.53"};
  config.dns.localResolvers = {"198.51.100.53"};
  config.dns.defaultRegion = "DE";
  config.dns.queryTimeoutMs = 1000;
  return bootstrap;
}

inline std::string tokensJSON() {
  return encodeTokens(StoredTokenState{"access", "refresh", runtime::Date{900000000}});
}

inline StartOptions startOptions(const ExtensionBootstrap& bootstrap = testBootstrap()) {
  return {{bootstrapOption, OptionData{runtime::json::encodeText(bootstrap)}},
          {extensionTokensOption, OptionData{tokensJSON()}}};
}

class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = std::filesystem::temp_directory_path() /
                ("provider-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    clock = std::make_shared<runtime::ManualClock>();
    flow = std::make_shared<platform::MemoryPacketFlow>(io.get_executor());
    applier = std::make_shared<platform::RecordingSettingsApplier>();
    monitor = std::make_shared<platform::ManualPathMonitor>();
    resolvers = std::make_shared<platform::FixedSystemResolvers>();
    secrets = std::make_shared<platform::MemorySecretStore>();
    http = std::make_shared<platform::FakeHttpClient>(
        [this](platform::HttpRequest request) { return serve(std::move(request)); });
  }
  void TearDown() override {
    if (provider) stop();
    provider.reset();
    std::filesystem::remove_all(directory);
  }

  // A provider's environment on the doubles; the reasserting flag goes unheard.
  Flowgate::Environment environment() {
    Flowgate::Environment env;
    env.executor = io.get_executor();
    env.packetFlow = flow;
    env.settingsApplier = applier;
    env.makePathMonitor = [this] { return monitor; };
    env.systemResolvers = resolvers;
    env.secrets = secrets;
    env.defaults = std::make_shared<platform::UserDefaults>(directory, "flowgate");
    env.makeHttpClient = [this](const ExtensionBootstrap&) { return http; };
    env.geoIPDirectory = directory / "geoip";
    env.clock = clock;
    env.dnsUpstream = upstream;
    return env;
  }

  std::shared_ptr<Flowgate> makeProvider() {
    auto env = environment();
    env.reassertingChanged = [this](bool value) { reassertions.push_back(value); };
    provider = Flowgate::create(std::move(env));
    return provider;
  }

  // Starts and runs until the completion; the error's code, or success.
  runtime::ErrorCode start(std::optional<StartOptions> options = startOptions()) {
    if (!provider) makeProvider();
    bool done = false;
    runtime::ErrorCode result;
    provider->startTunnel(std::move(options), [&](std::exception_ptr error) {
      ++startCompletions;
      done = true;
      if (!error) return;
      try {
        std::rethrow_exception(error);
      } catch (const runtime::SystemError& e) {
        result = e.code();
      } catch (const runtime::CancellationError&) {
        result = asio::error::operation_aborted;
      } catch (const std::exception& e) {
        result = asio::error::invalid_argument;  // a decoding error of the JSON library
        decodingError = e.what();
      }
    });
    EXPECT_TRUE(runUntil([&] { return done; }));
    return result;
  }

  void stop() {
    bool done = false;
    provider->stopTunnel([&] { done = true; });
    EXPECT_TRUE(runUntil([&] { return done; }));
  }

  template <class Done>
  bool runUntil(Done done) {
    io.restart();
    for (int i = 0; i < 2000 && !done(); ++i) io.run_one_for(std::chrono::milliseconds(5));
    return done();
  }
  // The task's value, run on the test's context.
  template <class T>
  T await(runtime::Task<T> task) {
    std::optional<T> value;
    runtime::spawn(io.get_executor(),
                   [](runtime::Task<T> inner, std::optional<T>* out) -> runtime::Task<void> {
                     out->emplace(co_await std::move(inner));
                   }(std::move(task), &value));
    EXPECT_TRUE(runUntil([&] { return value.has_value(); }));
    return std::move(*value);
  }

  // Runs whatever is ready now.
  void settle() {
    io.restart();
    for (int i = 0; i < 50; ++i) io.poll();
  }
  void advance(double seconds) {
    clock->advance(seconds);
    settle();
  }

  std::size_t requests(const std::string& path) const {
    std::size_t count = 0;
    for (const auto& request : http->requests()) count += request.url.path() == path;
    return count;
  }

  // A GeoIP table file with the given version and direct networks.
  static std::vector<std::uint8_t> tableFile(std::uint64_t version,
                                             const std::vector<std::string>& direct) {
    std::vector<geoip::DirectRecord> records;
    for (const auto& cidr : direct) records.push_back(*geoip::DirectRecord::fromCidr(cidr));
    return geoip::encode(version, records, {});
  }
  void publishGeoIP(std::uint64_t version, const std::vector<std::string>& direct) {
    geoipFile = tableFile(version, direct);
    geoipVersion = version;
  }

  runtime::Task<platform::HttpResponse> serve(platform::HttpRequest request) {
    std::string path(request.url.path());
    if (path == "/v1/trust-bundle") {
      if (hold) co_await holdRequest();
      if (trustUnreachable) throw runtime::SystemError(asio::error::connection_refused);
      co_return platform::HttpResponse{200, {}, bundleJSON()};
    }
    if (path == "/v1/geoip/manifest") {
      if (geoipFile.empty()) co_return platform::HttpResponse{404, {}, R"({"code":"x"})"};
      co_return platform::HttpResponse{
          200,
          {},
          R"({"version":)" + std::to_string(geoipVersion) + R"(,"sha256":")" +
              platform::sha256Hex(geoipFile) + R"(","size_bytes":)" +
              std::to_string(geoipFile.size()) +
              R"(,"direct_cidr_count":0,"route_count":0,"built_at":"x","url":"/t.bin"})"};
    }
    if (path == "/t.bin") {
      co_return platform::HttpResponse{200, {}, std::string(geoipFile.begin(), geoipFile.end())};
    }
    if (path == "/v1/tunnel/heartbeat" && leaseMismatch) {
      co_return platform::HttpResponse{401, {}, R"({"code":"lease_mismatch"})"};
    }
    if (path == "/v1/tunnel/authorize") {
      ++authorizations;
      AuthorizationResult result{7,
                                 "credential-" + std::to_string(authorizations + 1),
                                 "2040-01-01T00:00:00Z",
                                 "198.19.0." + std::to_string(8 + authorizations),
                                 "2040-01-01T00:00:00Z",
                                 testBootstrap().config};
      co_return platform::HttpResponse{
          200,
          {},
          boost::json::serialize(runtime::withSnakeCaseKeys(runtime::json::encode(result)))};
    }
    if (path == "/v1/tunnel/heartbeat") {
      co_return platform::HttpResponse{
          200,
          {},
          R"({"status":"ok","vpn_ipv4":"198.19.0.2","lease_expires_at":"2040-01-01T00:00:00Z"})"};
    }
    co_return platform::HttpResponse{404, {}, "{}"};
  }

  runtime::Task<void> holdRequest() {
    asio::steady_timer timer(io, std::chrono::hours(1));
    heldTimer = &timer;
    co_await timer.async_wait(runtime::asTuple);
    heldTimer = nullptr;
  }

  static std::string bundleJSON() {
    return R"({"version":1,"issued_at":"2026-12-01T00:00:00Z","node_tls_ca_certificates":[")" +
           kBody +
           R"("],"device_credential_keys":[{"key_id":"k","algorithm":"ed25519","public_key":"AA",)"
           R"("not_before":"a","not_after":"b"}]})";
  }

  asio::io_context io;
  std::filesystem::path directory;
  std::shared_ptr<runtime::ManualClock> clock;
  std::shared_ptr<platform::MemoryPacketFlow> flow;
  std::shared_ptr<platform::RecordingSettingsApplier> applier;
  std::shared_ptr<platform::ManualPathMonitor> monitor;
  std::shared_ptr<platform::FixedSystemResolvers> resolvers;
  std::shared_ptr<platform::MemorySecretStore> secrets;
  std::shared_ptr<platform::FakeHttpClient> http;
  DNSProxy::UpstreamQuery upstream;
  std::shared_ptr<Flowgate> provider;

  bool trustUnreachable = false;
  bool leaseMismatch = false;
  int authorizations = 0;
  std::vector<bool> reassertions;
  bool hold = false;
  asio::steady_timer* heldTimer = nullptr;
  std::vector<std::uint8_t> geoipFile;
  std::uint64_t geoipVersion = 0;
  int startCompletions = 0;
  std::string decodingError;
};

}  // namespace provider_test
