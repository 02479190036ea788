#include "tests/support/lab/lab_fixture.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <array>
#include <cstdio>
#include <sstream>

namespace labtest {

Result run(const std::string& command) {
  Result result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> chunk{};
  while (auto n = fread(chunk.data(), 1, chunk.size(), pipe)) result.output.append(chunk.data(), n);
  result.status = pclose(pipe);
  return result;
}

std::string lab(const std::string& verb) {
  return std::string(LAB_SCRIPT) + " " + verb + (verb == "up" ? " --build " LAB_BUILD_DIR : "");
}

std::string relayCommand(int relay, const std::string& line) {
  auto path = "/run/veskar-lab/relay" + std::to_string(relay) + ".sock";
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::write(fd, (line + "\n").data(), line.size() + 1) == static_cast<ssize_t>(line.size() + 1)) {
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') answer += c;
  }
  ::close(fd);
  return answer;
}

std::uint64_t relayCounter(int relay, const std::string& name) {
  std::istringstream stats(relayCommand(relay, "stats"));
  std::string field;
  while (stats >> field) {
    if (field.starts_with(name + "=")) return std::stoull(field.substr(name.size() + 1));
  }
  ADD_FAILURE() << "relay" << relay << " has no counter " << name;
  return 0;
}

void LabTest::SetUp() {
  if (geteuid() != 0) GTEST_SKIP() << "the lab needs root";
  lock_ = open(kLabLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock_, 0);
  ASSERT_EQ(flock(lock_, LOCK_EX), 0);
}

void LabTest::TearDown() {
  if (lock_ < 0) return;
  run(lab("down"));
  close(lock_);
}

void LabTest::up() {
  auto result = run(lab("up"));
  ASSERT_EQ(result.status, 0) << result.output;
}

void LabTest::countClearTraffic() {
  // One command line: run() appends to the command, which would break a here-document.
  auto result = inClient(
      "nft 'add table ip vkl_clear; add counter ip vkl_clear leaked; "
      "add chain ip vkl_clear postrouting { type filter hook postrouting priority 0; policy "
      "accept; }; "
      "add rule ip vkl_clear postrouting oifname \"eth0\" "
      "ip daddr { 203.0.113.0/24, 198.18.0.0/15 } counter name leaked'");
  ASSERT_EQ(result.status, 0) << result.output;
}

std::uint64_t LabTest::clearPackets() {
  auto result = inClient("nft list counter ip vkl_clear leaked");
  auto at = result.output.find("packets ");
  if (result.status != 0 || at == std::string::npos) {
    ADD_FAILURE() << "no clear-traffic counter: " << result.output;
    return 0;
  }
  return std::stoull(result.output.substr(at + 8));
}

}  // namespace labtest
