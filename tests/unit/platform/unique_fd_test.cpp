#include "platform/unique_fd.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace platform {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesExactlyOnceWhateverPathOwnershipTakes) {
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    UniqueFd first(raw);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), raw);
    UniqueFd third;
    third = std::move(second);
    EXPECT_TRUE(isOpen(raw));
  }
  EXPECT_FALSE(isOpen(raw));

  int kept = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int replacement = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  {
    UniqueFd owner(kept);
    EXPECT_EQ(owner.release(), kept);
    owner.reset(replacement);
  }
  EXPECT_TRUE(isOpen(kept));
  EXPECT_FALSE(isOpen(replacement));
  ::close(kept);
}

}  // namespace
}  // namespace platform
