#pragma once

// A program run by a test in the background: started with PR_SET_PDEATHSIG so
// it never outlives the test, its standard output and error on one pipe that
// the test reads line by line, stopped with SIGTERM (then SIGKILL) when the
// object goes.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> arguments);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The next line of output, without its newline; nothing when none came in
  // time or the output ended.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Everything read so far, the lines readLine() returned included.
  const std::string& output() const { return output_; }

  // Sends `signal` and waits up to `timeout` for the exit; the status as
  // waitpid reports it, or nothing when it still runs.
  std::optional<int> stop(int signal, std::chrono::milliseconds timeout);
  bool running();

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::string buffer_;
  std::string output_;
  std::optional<int> status_;
};

// `command` inside a lab namespace.
std::vector<std::string> insideNamespace(const std::string& netns,
                                         std::vector<std::string> command);

}  // namespace testsupport
