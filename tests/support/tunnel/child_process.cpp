#include "tests/support/tunnel/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> arguments) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  pipe_ = fds[0];
}

ChildProcess::~ChildProcess() {
  if (running() && !stop(SIGTERM, std::chrono::seconds(5))) stop(SIGKILL, std::chrono::seconds(5));
  if (pipe_ >= 0) ::close(pipe_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    if (auto end = buffer_.find('\n'); end != std::string::npos) {
      auto line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    pollfd ready{pipe_, POLLIN, 0};
    if (::poll(&ready, 1, remainingMs(deadline)) <= 0) return std::nullopt;
    char chunk[4096];
    auto n = ::read(pipe_, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    output_.append(chunk, static_cast<std::size_t>(n));
  }
}

bool ChildProcess::running() {
  if (status_ || pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
  return !status_;
}

std::optional<int> ChildProcess::stop(int signal, std::chrono::milliseconds timeout) {
  if (!running()) return status_;
  ::kill(pid_, signal);
  auto deadline = Clock::now() + timeout;
  while (running() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

std::vector<std::string> insideNamespace(const std::string& netns,
                                         std::vector<std::string> command) {
  std::vector<std::string> full{"ip", "netns", "exec", netns};
  full.insert(full.end(), command.begin(), command.end());
  return full;
}

}  // namespace testsupport
