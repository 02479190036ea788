#pragma once

// Fixtures of the tunnel's lab tests: the lab up and, on top of it, either
// start options minted for the daemon's programs or `flowgate daemon` itself
// running in the client namespace.

#include "tests/support/files/temporary_directory.hpp"
#include "tests/support/lab/lab_fixture.hpp"
#include "tests/support/process/child_process.hpp"

#include <filesystem>
#include <memory>
#include <string>

namespace testsupport {

// The lab up and start options minted into a fresh folder (bootstrap.json and
// tokens.json), removed after the test.
class MintedLabTest : public labtest::LabTest {
 protected:
  explicit MintedLabTest(const std::string& prefix) : folder_(prefix) {}
  void SetUp() override;

  TemporaryDirectory folder_;
  std::string deviceKey_;
};

// The lab up and `flowgate daemon` listening on `socket_` in a fresh home,
// stopped after the test.
class LabDaemonTest : public labtest::LabTest {
 protected:
  explicit LabDaemonTest(const std::string& prefix) : home_(prefix) {}
  void SetUp() override;
  void TearDown() override;

  TemporaryDirectory home_;
  std::filesystem::path socket_;
  std::unique_ptr<ChildProcess> daemon_;
};

}  // namespace testsupport
