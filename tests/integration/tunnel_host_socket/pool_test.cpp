// The daemon's shape: one io_context on a thread pool, many clients at once,
// each with its own requests and its own ordered stream of events.

#include "socket_fixture.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/use_future.hpp>

#include <mutex>
#include <thread>

namespace tunnelhostsocket {
namespace {

using platform::TunnelStatus;

// The recording host made safe for many threads the way the daemon's host is:
// every operation on one strand.
class SerializedHost final : public platform::TunnelHost, public runtime::Serialized {
 public:
  explicit SerializedHost(const runtime::Executor& executor)
      : Serialized(executor), host(std::make_shared<platform::RecordingTunnelHost>(strand())) {}

  runtime::Task<std::vector<platform::TunnelConfiguration>> loadAllFromPreferences() override {
    return serialized(host->loadAllFromPreferences());
  }
  runtime::Task<platform::TunnelConfiguration> saveToPreferences(
      platform::TunnelConfiguration configuration) override {
    return serialized(host->saveToPreferences(std::move(configuration)));
  }
  runtime::Task<platform::TunnelConfiguration> loadFromPreferences(
      std::string identifier) override {
    return serialized(host->loadFromPreferences(std::move(identifier)));
  }
  runtime::Task<void> removeFromPreferences(std::string identifier) override {
    return serialized(host->removeFromPreferences(std::move(identifier)));
  }
  runtime::Task<void> startVPNTunnel(std::string identifier,
                                     platform::TunnelStartOptions options) override {
    return serialized(host->startVPNTunnel(std::move(identifier), std::move(options)));
  }
  runtime::Task<void> stopVPNTunnel(std::string identifier) override {
    return serialized(host->stopVPNTunnel(std::move(identifier)));
  }
  runtime::Task<platform::TunnelConnection> connection(std::string identifier) override {
    return serialized(host->connection(std::move(identifier)));
  }
  runtime::Task<std::optional<std::string>> sendProviderMessage(std::string identifier,
                                                                std::string message,
                                                                bool wantsReply) override {
    return serialized(
        host->sendProviderMessage(std::move(identifier), std::move(message), wantsReply));
  }
  runtime::Task<bool> lockdown() override { return serialized(host->lockdown()); }
  runtime::Task<void> setLockdown(bool enabled) override {
    return serialized(host->setLockdown(enabled));
  }
  std::uint64_t addStatusObserver(StatusObserver observer) override {
    return host->addStatusObserver(std::move(observer));
  }
  void removeStatusObserver(std::uint64_t token) override { host->removeStatusObserver(token); }

  std::shared_ptr<platform::RecordingTunnelHost> host;
};

TEST_F(SocketTest, ServesManyClientsFromAThreadPool) {
  asio::io_context pool;
  auto work = asio::make_work_guard(pool);
  auto serialized = std::make_shared<SerializedHost>(pool.get_executor());
  serialized->host->configurations = host->configurations;
  serialized->host->replyToMessage = [](const std::string& message) { return message; };
  auto poolPath = directory / "run" / "pool.sock";
  auto poolServer = flowgate::daemon::ControlSocketServer::create(
      pool.get_executor(), serialized, {.path = poolPath, .group = group});
  poolServer->start();
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&] { pool.run(); });

  constexpr int clients = 6, rounds = 100, events = 300;
  std::mutex mutex;
  std::vector<std::vector<TunnelStatus>> seen(clients);
  std::vector<std::shared_ptr<platform::TunnelHostClient>> hosts;
  for (int c = 0; c < clients; ++c) {
    hosts.push_back(platform::TunnelHostClient::create(pool.get_executor(), poolPath));
    hosts.back()->addStatusObserver([&, c](const platform::TunnelStatusChange& change) {
      std::lock_guard lock(mutex);
      seen[c].push_back(change.status);
    });
  }
  // Every client busy at once: each reply must reach the caller that asked.
  auto busy = [](std::shared_ptr<platform::TunnelHostClient> client, int c) -> runtime::Task<int> {
    int answered = 0;
    for (int round = 0; round < rounds; ++round) {
      auto text = std::to_string(c) + ":" + std::to_string(round);
      auto sending = client->sendProviderMessage("home", text, true);
      auto echo = co_await std::move(sending);
      if (echo == text) ++answered;
    }
    co_return answered;
  };
  std::vector<std::future<int>> answers;
  for (int c = 0; c < clients; ++c)
    answers.push_back(asio::co_spawn(pool, busy(hosts[c], c), asio::use_future));
  for (auto& answer : answers) EXPECT_EQ(answer.get(), rounds);

  // Subscribed by now (each connected with an observer); events in order to each.
  std::vector<TunnelStatus> expected;
  for (int i = 0; i < events; ++i)
    expected.push_back(i % 2 ? TunnelStatus::connected : TunnelStatus::reasserting);
  asio::post(serialized->strand(), [&] {
    for (auto status : expected) serialized->host->setStatus("home", status);
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto allSeen = [&] {
    std::lock_guard lock(mutex);
    for (const auto& statuses : seen)
      if (statuses.size() < expected.size()) return false;
    return true;
  };
  while (!allSeen() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard lock(mutex);
    for (const auto& statuses : seen) EXPECT_EQ(statuses, expected);
  }

  poolServer->stop();
  hosts.clear();
  work.reset();
  pool.stop();
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace tunnelhostsocket
