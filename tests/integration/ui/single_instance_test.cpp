// Two launches of the desktop program in one session: the second asks the
// first for its window and leaves; the first stays.

#include "tests/support/files/temporary_directory.hpp"
#include "tests/support/process/child_process.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

TEST(SingleInstance, ASecondLaunchShowsTheFirstWindowAndLeaves) {
  testsupport::TemporaryDirectory home("veskar-instance");
  auto launch = [&] {
    auto dir = home.path().string();
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/env", "HOME=" + dir, "XDG_RUNTIME_DIR=" + dir,
                                 "XDG_CONFIG_HOME=" + dir + "/config",
                                 "XDG_DATA_HOME=" + dir + "/data", "QT_QPA_PLATFORM=offscreen",
                                 "VESKAR_SOCKET=" + dir + "/no-daemon.sock", VESKAR_APP_BIN},
        ChildProcess::Output::combined);
  };
  auto first = launch();
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!std::filesystem::exists(home.path() / "veskar.instance")) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the first launch never listened";
    ASSERT_TRUE(first->alive());
    std::this_thread::sleep_for(20ms);
  }

  auto second = launch();
  while (second->readLine(std::chrono::steady_clock::now() + 20s)) {
  }
  EXPECT_EQ(second->terminate(), 0) << second->output();
  EXPECT_NE(second->output().find("already running"), std::string::npos) << second->output();

  EXPECT_NO_THROW(first->waitForLine(
      [](const std::string& line) {
        return line.find("asked for the window") != std::string::npos;
      },
      20s));
  EXPECT_TRUE(first->alive());
  first->terminate();
}

}  // namespace
