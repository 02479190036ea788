#include "tests/support/relay/relay_process.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace testsupport {

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

  child_ =
      std::make_unique<ChildProcess>(std::move(command), ChildProcess::Output::captured, SIGTERM);
  std::string ready;
  try {
    ready =
        child_->waitForLine([](const std::string& line) { return line.rfind("ready ", 0) == 0; },
                            std::chrono::seconds(10), &banner_);
  } catch (const std::exception&) {
    terminate();
    throw std::runtime_error("relay did not get ready");
  }
  port_ = static_cast<std::uint16_t>(std::stoul(ready.substr(6)));
}

RelayProcess::~RelayProcess() {
  terminate();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

int RelayProcess::terminate() { return child_ ? child_->terminate() : -1; }

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
  auto reply = readLineFrom(fd, std::chrono::steady_clock::now() + std::chrono::seconds(5));
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
