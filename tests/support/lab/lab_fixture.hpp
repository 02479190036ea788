#pragma once

// Runs the lab script for a test: up in the test, down at its end. There is one
// lab per host, so its users take turns on an exclusive lock of one host-wide
// file (every checkout of the repository shares it). Needs root; the test is
// skipped otherwise.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace labtest {

struct Result {
  int status = -1;
  std::string output;
};

// A shell command with its standard output and error.
Result run(const std::string& command);
// The lab script with a verb ("up" takes the build folder of this build).
std::string lab(const std::string& verb);

// One control command to lab relay N (1 to 3); its one-line answer.
std::string relayCommand(int relay, const std::string& line);
// A counter of relay N's "stats" answer (a test failure when it has none).
std::uint64_t relayCounter(int relay, const std::string& name);

// The lab's turn-taking lock.
inline constexpr const char* kLabLock = "/run/lock/veskar-lab.lock";

class LabTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void up();
  Result inNamespace(const std::string& ns, const std::string& command) {
    return run("ip netns exec " + ns + " " + command);
  }
  Result inClient(const std::string& command) { return inNamespace("vkl-client", command); }

  // Counts the packets for the world behind the exits and for the tunnel's own
  // network that leave the client's physical interface, that is in clear: every
  // fail-closed test expects 0. The counter goes with the lab.
  void countClearTraffic();
  std::uint64_t clearPackets();

 private:
  int lock_ = -1;
};

}  // namespace labtest
