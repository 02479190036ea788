#include "tests/support/process/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace testsupport {

std::optional<std::string> readLineFrom(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string line;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("no line in time");
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char c;
    auto n = ::read(fd, &c, 1);
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
}

ChildProcess::ChildProcess(std::vector<std::string> arguments, Output output, int deathSignal) {
  if (arguments.empty()) throw std::invalid_argument("no program to run");
  std::vector<char*> argv;
  for (auto& word : arguments) argv.push_back(word.data());
  argv.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (output != Output::discarded && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    if (pipeFds[0] >= 0) {
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
    }
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // The child must not outlive the test, whatever happens to the test.
    ::prctl(PR_SET_PDEATHSIG, deathSignal);
    if (::getppid() != parent) ::_exit(127);
    if (output != Output::discarded) {
      ::dup2(pipeFds[1], STDOUT_FILENO);
      if (output == Output::combined) ::dup2(pipeFds[1], STDERR_FILENO);
    } else {
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (output != Output::discarded) {
    ::close(pipeFds[1]);
    output_ = pipeFds[0];
  }
}

ChildProcess::~ChildProcess() {
  terminate();
  if (output_ >= 0) ::close(output_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::steady_clock::time_point deadline) {
  if (output_ < 0) return std::nullopt;
  auto line = readLineFrom(output_, deadline);
  if (line) transcript_ += *line + "\n";
  return line;
}

std::optional<std::string> ChildProcess::readLineWithin(std::chrono::milliseconds timeout) {
  try {
    return readLine(std::chrono::steady_clock::now() + timeout);
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

std::string ChildProcess::waitForLine(const std::function<bool(const std::string&)>& isReady,
                                      std::chrono::milliseconds timeout,
                                      std::vector<std::string>* banner) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto line = readLine(deadline);
    if (!line) throw std::runtime_error("child process ended its output before getting ready");
    if (isReady(*line)) return *line;
    if (banner) banner->push_back(*line);
  }
}

std::optional<int> ChildProcess::stop(int signal, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  ::kill(pid_, signal);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int ChildProcess::terminate(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  if (auto status = stop(SIGTERM, grace)) return *status;
  int status = 0;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

bool ChildProcess::alive() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

}  // namespace testsupport
