#pragma once

// A child process of a test: it dies with the test process (PR_SET_PDEATHSIG),
// its standard output is a pipe read line by line (or /dev/null), and it is
// stopped with SIGTERM, then SIGKILL, and reaped when this object goes.

#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
 public:
  // Standard output on the pipe, both output streams on it, or neither.
  enum class Output { captured, combined, discarded };

  // Runs `arguments[0]` (searched in PATH when it has no slash) with the
  // whole vector as its argv. Throws when the process cannot be started.
  // `deathSignal` is what the child gets when the test process dies.
  explicit ChildProcess(std::vector<std::string> arguments, Output output = Output::captured,
                        int deathSignal = SIGKILL);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of the child's output; empty at end of output (or when the
  // output is discarded). Throws when none comes before `deadline`.
  std::optional<std::string> readLine(std::chrono::steady_clock::time_point deadline);

  // The next line, or nothing when none comes within `timeout` or the output ended.
  std::optional<std::string> readLineWithin(std::chrono::milliseconds timeout);
  // Every line read so far, each with its newline.
  const std::string& output() const { return transcript_; }

  // Reads lines until one satisfies `isReady` and returns it; the lines
  // before it go to `banner`. Throws at end of output or past `timeout`.
  std::string waitForLine(const std::function<bool(const std::string&)>& isReady,
                          std::chrono::milliseconds timeout,
                          std::vector<std::string>* banner = nullptr);

  // Sends `signal` and reaps the process if it exits within `timeout`; its
  // status as waitpid reports it, or nothing while it still runs.
  std::optional<int> stop(int signal, std::chrono::milliseconds timeout);
  // SIGTERM, SIGKILL after `grace`, and reap; the status as waitpid reports
  // it, -1 when the process was already reaped.
  int terminate(std::chrono::milliseconds grace = std::chrono::seconds(2));
  // Whether the process still runs (it has not exited or crashed).
  bool alive();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string transcript_;
};

// Reads one line from `fd` within the deadline; empty at end of file. Throws
// when the deadline passes first.
std::optional<std::string> readLineFrom(int fd, std::chrono::steady_clock::time_point deadline);

}  // namespace testsupport
