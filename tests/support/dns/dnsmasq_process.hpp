#pragma once

// dnsmasq as a resolver on 127.0.0.1 and a free port, answering only the host
// records it is given (other names under test.example are NXDOMAIN; nothing is
// forwarded). It dies with the test process.

#include "tests/support/process/child_process.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dns_test {

class DnsmasqProcess {
 public:
  // (name, IPv4 address) pairs; a name may appear several times.
  explicit DnsmasqProcess(const std::vector<std::pair<std::string, std::string>>& hostRecords);
  ~DnsmasqProcess();
  DnsmasqProcess(const DnsmasqProcess&) = delete;
  DnsmasqProcess& operator=(const DnsmasqProcess&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  std::filesystem::path directory_;
  std::unique_ptr<testsupport::ChildProcess> child_;
  std::uint16_t port_ = 0;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t freeUDPPort();

// Sends `message` to 127.0.0.1:`port` and returns the reply; empty after
// `timeoutMs` without one.
std::vector<std::uint8_t> ask(std::uint16_t port, const std::vector<std::uint8_t>& message,
                              int timeoutMs = 1000);

}  // namespace dns_test
