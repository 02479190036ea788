#pragma once

// The control server as a separate process on loopback, with a lab of its own
// in a temporary folder: the lab PKI, a GeoIP table and a lab file. The server
// dies with the test process and the folder is removed at the end.

#include <boost/json/object.hpp>

#include "tests/support/process/child_process.hpp"

#include <filesystem>
#include <memory>
#include <string>

namespace testbed::test {

inline constexpr const char* labPhone = "+15550100";
inline constexpr const char* labPassword = "lab-password";
inline constexpr const char* labPublicId = "u-1001";

struct LabOptions {
  // Merged over the lab file's "lifetimes".
  boost::json::object lifetimes;
  std::string extraServeArguments;
};

class ControlProcess {
 public:
  explicit ControlProcess(const LabOptions& options = {});
  ~ControlProcess();
  ControlProcess(const ControlProcess&) = delete;
  ControlProcess& operator=(const ControlProcess&) = delete;

  unsigned short port() const { return port_; }
  unsigned short adminPort() const { return adminPort_; }
  const std::filesystem::path& directory() const { return directory_; }
  std::filesystem::path controlCA() const { return directory_ / "pki" / "control-ca.pem"; }
  std::filesystem::path credentialKeys() const {
    return directory_ / "pki" / "credential-keys.json";
  }
  // Whether the process still runs (it has not exited or crashed).
  bool alive();

 private:
  std::filesystem::path directory_;
  std::unique_ptr<testsupport::ChildProcess> child_;
  unsigned short port_ = 0;
  unsigned short adminPort_ = 0;
};

// Runs a command line through /bin/sh; fails the test when it exits non-zero.
void runCommand(const std::string& command);

}  // namespace testbed::test
