#include "platform/process.hpp"
#include "platform/unique_fd.hpp"

#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace platform {
namespace {

TEST(RunProgram, TheChildReadsItsInputAndInheritsNoOtherDescriptor) {
  // Deliberately without close-on-exec, as a descriptor the caller forgot.
  UniqueFd stray(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(stray);
  auto path = "/proc/self/fd/" + std::to_string(stray.get());
  EXPECT_NO_THROW(runProgram({"/bin/sh", "-c", "read line && [ \"$line\" = hello ]"}, "hello\n"));
  EXPECT_NO_THROW(runProgram({"/bin/sh", "-c", "[ ! -e " + path + " ]"}));
  EXPECT_THROW(runProgram({"/bin/sh", "-c", "exit 3"}), boost::system::system_error);
}

TEST(RunProgram, AProgramPastItsDeadlineIsKilledAndReportedAsTimedOut) {
  using namespace std::chrono_literals;
  // Waiting for its exit, and stuck writing input nobody reads.
  for (std::string input : {std::string(), std::string(1 << 20, 'x')}) {
    auto started = std::chrono::steady_clock::now();
    try {
      runProgram({"/bin/sleep", "10"}, input, 200ms);
      ADD_FAILURE() << "no timeout";
    } catch (const boost::system::system_error& e) {
      EXPECT_EQ(e.code().value(), ETIMEDOUT);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  }
}

}  // namespace
}  // namespace platform
