#include "platform/process.hpp"
#include "platform/unique_fd.hpp"

#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace platform {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw boost::system::system_error(error, boost::system::system_category(), what);
}

}  // namespace

void runProgram(const std::vector<std::string>& arguments, std::string_view input) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) fail(errno, "pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The child keeps only its standard streams: whatever else the caller holds
  // without close-on-exec (sockets, TUN devices, listeners) stays ours.
  int error = posix_spawn_file_actions_adddup2(&actions, pipe[0], STDIN_FILENO);
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (error == 0) error = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[0]);
  UniqueFd writeEnd(pipe[1]);
  if (error != 0) fail(error, arguments[0]);
  // A program that stops reading early must not kill us with SIGPIPE.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  while (!input.empty()) {
    auto n = ::write(writeEnd.get(), input.data(), input.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    input.remove_prefix(static_cast<std::size_t>(n));
  }
  writeEnd.reset();
  timespec none{};
  while (sigtimedwait(&blocked, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) fail(errno, "waitpid");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(ECHILD, arguments[0] + " failed");
}

}  // namespace platform
