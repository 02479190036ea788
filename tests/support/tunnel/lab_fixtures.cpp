#include "tests/support/tunnel/lab_fixtures.hpp"

#include "tests/support/tunnel/lab_daemon.hpp"

#include <chrono>

namespace testsupport {

using namespace std::chrono_literals;

void MintedLabTest::SetUp() {
  LabTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  up();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_NO_THROW(deviceKey_ = mintStartOptions(folder_.path()));
}

void LabDaemonTest::SetUp() {
  LabTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  up();
  ASSERT_FALSE(HasFatalFailure());
  socket_ = home_ / "flowgate.sock";
  ASSERT_NO_THROW(daemon_ = startLabDaemon(socket_, home_ / "daemon"));
}

void LabDaemonTest::TearDown() {
  if (daemon_) {
    daemon_->terminate(15s);
    daemon_.reset();
  }
  LabTest::TearDown();
}

}  // namespace testsupport
