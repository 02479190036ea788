#include "platform/process.hpp"
#include "platform/unique_fd.hpp"

#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(int error, const std::string& what) {
  throw boost::system::system_error(error, boost::system::system_category(), what);
}

int millisecondsLeft(Clock::time_point end) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

// Writes until done, the reader goes away or the deadline passes (false).
bool writeInput(int fd, std::string_view input, Clock::time_point end) {
  while (!input.empty()) {
    auto n = ::write(fd, input.data(), input.size());
    if (n > 0) {
      input.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd ready{fd, POLLOUT, 0};
      int left = millisecondsLeft(end);
      if (left == 0) return false;
      ::poll(&ready, 1, left);
      continue;
    }
    break;  // the program stopped reading: its exit status tells
  }
  return true;
}

// Reaps the child by the deadline; false when it is still running.
bool waitUntil(pid_t child, int& status, Clock::time_point end) {
  UniqueFd handle(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
  for (;;) {
    pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return true;
    if (done < 0 && errno != EINTR) fail(errno, "waitpid");
    int left = millisecondsLeft(end);
    if (left == 0) return false;
    if (handle) {
      pollfd exited{handle.get(), POLLIN, 0};
      ::poll(&exited, 1, left);
    } else {
      // Kernels before pidfds: look again shortly.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 10)));
    }
  }
}

}  // namespace

void runProgram(const std::vector<std::string>& arguments, std::string_view input,
                std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) fail(errno, "pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The child keeps only its standard streams: whatever else the caller holds
  // without close-on-exec (sockets, TUN devices, listeners) stays ours.
  int error = posix_spawn_file_actions_adddup2(&actions, pipe[0], STDIN_FILENO);
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // A group of its own, so a timeout also ends the helpers it started.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (error == 0) error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  if (error == 0) error = posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (error == 0) {
    error = ::posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[0]);
  UniqueFd writeEnd(pipe[1]);
  if (error != 0) fail(error, arguments[0]);
  ::fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK);
  // A program that stops reading early must not kill us with SIGPIPE.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  bool written = writeInput(writeEnd.get(), input, end);
  writeEnd.reset();
  timespec none{};
  while (sigtimedwait(&blocked, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  int status = 0;
  if (!written || !waitUntil(child, status, end)) {
    ::kill(-child, SIGKILL);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    fail(ETIMEDOUT, arguments[0] + " timed out");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(ECHILD, arguments[0] + " failed");
}

}  // namespace platform
