#pragma once

// A testbed-relay child process: started with PR_SET_PDEATHSIG so it never
// outlives the test, optionally inside a network namespace, and stopped with
// SIGTERM when this object goes.

#include "tests/support/process/child_process.hpp"

#include <sys/types.h>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class RelayProcess {
 public:
  // Starts `testbed-relay ARGS... --control <temporary socket>` and waits for
  // its "ready PORT" line; throws when it does not come within 10 seconds.
  explicit RelayProcess(std::vector<std::string> arguments,
                        std::optional<std::string> netns = std::nullopt);
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  std::uint16_t port() const { return port_; }
  const std::string& controlPath() const { return controlPath_; }
  // Lines printed before "ready" (for example "tun NAME").
  const std::vector<std::string>& banner() const { return banner_; }

  // One control command and its one-line answer.
  std::string command(const std::string& line) const;
  // A counter from "stats".
  std::uint64_t counter(const std::string& name) const;

  // SIGTERM and wait; the exit status as waitpid reports it.
  int terminate();
  pid_t pid() const { return child_ ? child_->pid() : -1; }

 private:
  std::unique_ptr<ChildProcess> child_;
  std::uint16_t port_ = 0;
  std::string controlPath_;
  std::string directory_;
  std::vector<std::string> banner_;
};

}  // namespace testsupport
