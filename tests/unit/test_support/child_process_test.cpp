#include "tests/support/process/child_process.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <stdexcept>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

bool startsWithReady(const std::string& line) { return line.rfind("ready", 0) == 0; }

TEST(ChildProcess, ReturnsTheReadyLineAndKeepsTheLinesBeforeIt) {
  ChildProcess child({"/bin/sh", "-c", "echo one; echo two; echo ready 42; exec sleep 30"});
  std::vector<std::string> banner;
  EXPECT_EQ(child.waitForLine(startsWithReady, 5s, &banner), "ready 42");
  EXPECT_EQ(banner, (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(child.alive());
  // A child that ignores nothing ends at SIGTERM and is reaped.
  auto status = child.terminate();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(child.alive());
}

TEST(ChildProcess, FailsWhenTheOutputEndsOrTheDeadlinePasses) {
  ChildProcess ended({"/bin/sh", "-c", "echo not-yet"});
  EXPECT_THROW(ended.waitForLine(startsWithReady, 5s), std::runtime_error);

  ChildProcess silent({"/bin/sh", "-c", "exec sleep 30"});
  auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(silent.waitForLine(startsWithReady, 200ms), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST(ChildProcess, KillsAChildThatIgnoresSigterm) {
  ChildProcess stubborn({"/bin/sh", "-c", "trap '' TERM; echo ready; exec sleep 30"});
  stubborn.waitForLine(startsWithReady, 5s);
  auto status = stubborn.terminate(100ms);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

}  // namespace
}  // namespace testsupport
