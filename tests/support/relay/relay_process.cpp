#include "tests/support/relay/relay_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

// Reads one line from `fd` within the deadline; empty optional at end of file.
std::optional<std::string> readLine(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string line;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("relay did not get ready in time");
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char c;
    auto n = ::read(fd, &c, 1);
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
}

}  // namespace

RelayProcess::RelayProcess(std::vector<std::string> arguments, std::optional<std::string> netns) {
  char pattern[] = "/tmp/veskar-relay-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  controlPath_ = directory_ + "/control.sock";

  std::vector<std::string> command;
  if (netns) command = {"/usr/sbin/ip", "netns", "exec", *netns};
  command.push_back(VESKAR_TESTBED_RELAY);
  command.insert(command.end(), arguments.begin(), arguments.end());
  command.push_back("--control");
  command.push_back(controlPath_);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  output_ = pipeFds[0];

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    auto line = readLine(output_, deadline);
    if (!line) {
      terminate();
      throw std::runtime_error("relay exited before getting ready");
    }
    if (line->rfind("ready ", 0) == 0) {
      port_ = static_cast<std::uint16_t>(std::stoul(line->substr(6)));
      break;
    }
    banner_.push_back(*line);
  }
}

RelayProcess::~RelayProcess() {
  terminate();
  if (output_ >= 0) ::close(output_);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

int RelayProcess::terminate() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    ::usleep(20000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

std::string RelayProcess::command(const std::string& line) const {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, controlPath_.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot reach the relay's control socket");
  }
  auto request = line + "\n";
  if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    ::close(fd);
    throw std::runtime_error("control write failed");
  }
  auto reply = readLine(fd, std::chrono::steady_clock::now() + std::chrono::seconds(5));
  ::close(fd);
  if (!reply) throw std::runtime_error("control socket closed without an answer");
  return *reply;
}

std::uint64_t RelayProcess::counter(const std::string& name) const {
  std::istringstream words(command("stats"));
  std::string word;
  while (words >> word) {
    if (word.rfind(name + "=", 0) == 0) return std::stoull(word.substr(name.size() + 1));
  }
  throw std::runtime_error("no counter " + name);
}

}  // namespace testsupport
