#include "tests/support/netns/namespace.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

constexpr const char* kPrefix = "vkp-";

void removeStale() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::istringstream names(shell("ip netns list").output);
    std::string line;
    while (std::getline(names, line)) {
      auto name = line.substr(0, line.find(' '));
      if (!name.starts_with(kPrefix)) continue;
      auto dash = name.find('-', 4);
      pid_t owner = static_cast<pid_t>(std::atol(name.substr(4, dash - 4).c_str()));
      if (owner > 0 && owner != ::getpid() && ::kill(owner, 0) != 0 && errno == ESRCH) {
        shell("ip netns del " + name);
      }
    }
  });
}

}  // namespace

CommandResult shell(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buffer;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    result.output.append(buffer.data(), n);
  }
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool namespacesAvailable() {
  return ::geteuid() == 0 && std::filesystem::exists("/dev/net/tun") &&
         shell("ip netns list").status == 0;
}

Namespace::Namespace(const std::string& role)
    : name_(std::string(kPrefix) + std::to_string(::getpid()) + "-" + role) {
  removeStale();
  shell("ip netns del " + name_);
  if (shell("ip netns add " + name_).status != 0) {
    throw std::runtime_error("cannot create namespace " + name_);
  }
  must("ip link set lo up");
}

Namespace::~Namespace() { shell("ip netns del " + name_); }

CommandResult Namespace::exec(const std::string& command) const {
  return shell("ip netns exec " + name_ + " sh -c '" + command + "'");
}

std::string Namespace::must(const std::string& command) const {
  auto result = exec(command);
  if (result.status != 0) {
    throw std::runtime_error("in " + name_ + ": " + command + ": " + result.output);
  }
  return result.output;
}

void Namespace::enter() const {
  int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot enter " + name_);
  }
  ::close(fd);
}

void Namespace::run(const std::function<void()>& work) const {
  std::exception_ptr error;
  std::thread thread([&] {
    try {
      enter();
      work();
    } catch (...) {
      error = std::current_exception();
    }
  });
  thread.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace testsupport
