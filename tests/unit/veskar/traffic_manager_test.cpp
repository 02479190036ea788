// The traffic monitor's loop, with time moved by hand.

#include "veskar/tunnel/traffic_manager.hpp"

#include "runtime/spawn.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include <stdexcept>

namespace veskar {
namespace {

// Answers with a counter as the remaining bytes, or fails when told to.
class CountingSource final : public TrafficSource {
 public:
  runtime::Task<TrafficInfo> fetchTraffic() override {
    ++fetches;
    if (failing) throw std::runtime_error("offline");
    co_return TrafficInfo{fetches, 0};
  }
  std::int64_t fetches = 0;
  bool failing = false;
};

class TrafficMonitoring : public ::testing::Test {
 protected:
  void start(std::shared_ptr<TrafficSource> from) {
    runtime::spawn(io.get_executor(), manager->startMonitoring(from));
    poll();
  }
  void advance(double seconds) {
    clock->advance(seconds);
    poll();
  }
  void poll() {
    io.restart();
    io.poll();
  }

  boost::asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<TrafficManager> manager = TrafficManager::create(io.get_executor(), clock);
  std::shared_ptr<CountingSource> source = std::make_shared<CountingSource>();
};

TEST_F(TrafficMonitoring, FetchesAtOnceThenEveryThirtySeconds) {
  std::vector<bool> loading;
  manager->observers().add([&] { loading.push_back(manager->isLoading()); });
  start(source);
  EXPECT_EQ(source->fetches, 1);
  EXPECT_FALSE(manager->isLoading());
  EXPECT_EQ(loading.front(), true);
  EXPECT_EQ(manager->currentTraffic(), (TrafficInfo{1, 0}));

  advance(29);
  EXPECT_EQ(source->fetches, 1);
  advance(1);
  EXPECT_EQ(source->fetches, 2);
  EXPECT_EQ(manager->currentTraffic(), (TrafficInfo{2, 0}));

  // Failures keep the last good figures.
  source->failing = true;
  advance(30);
  EXPECT_EQ(source->fetches, 3);
  EXPECT_EQ(manager->currentTraffic(), (TrafficInfo{2, 0}));
}

TEST_F(TrafficMonitoring, AFailedFirstFetchStillStartsTheLoop) {
  source->failing = true;
  start(source);
  EXPECT_FALSE(manager->currentTraffic());
  EXPECT_FALSE(manager->isLoading());
  source->failing = false;
  advance(30);
  EXPECT_EQ(manager->currentTraffic(), (TrafficInfo{2, 0}));
}

TEST_F(TrafficMonitoring, RestartingOrCancellingLeavesAtMostOneLoop) {
  start(source);
  start(source);
  // The replaced loop wakes and may fetch once more; then one loop remains.
  auto afterRestart = source->fetches;
  EXPECT_GE(afterRestart, 2);
  EXPECT_LE(afterRestart, 3);
  advance(30);
  EXPECT_EQ(source->fetches, afterRestart + 1);
  advance(30);
  EXPECT_EQ(source->fetches, afterRestart + 2);

  manager->cancelMonitoring();
  EXPECT_FALSE(manager->isMonitoring());
  poll();
  auto afterCancel = source->fetches;
  advance(300);
  EXPECT_EQ(source->fetches, afterCancel);
}

TEST_F(TrafficMonitoring, TheLoopEndsWhenTheSourceOrTheManagerIsGone) {
  start(source);
  source.reset();
  advance(30);
  EXPECT_EQ(clock->sleepers(), 0u);

  source = std::make_shared<CountingSource>();
  start(source);
  EXPECT_EQ(clock->sleepers(), 1u);
  manager.reset();
  poll();
  EXPECT_EQ(clock->sleepers(), 0u);
  EXPECT_EQ(source->fetches, 1);
}

}  // namespace
}  // namespace veskar
