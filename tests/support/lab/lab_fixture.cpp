#include "tests/support/lab/lab_fixture.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <array>
#include <cstdio>

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

}  // namespace labtest
