#include "platform/process.hpp"
#include "platform/unique_fd.hpp"

#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>

#include <fcntl.h>

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

}  // namespace
}  // namespace platform
