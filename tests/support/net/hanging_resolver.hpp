#pragma once

// Makes every DNS lookup of this process hang: the process moves into a network
// namespace of its own (loopback only) and a mount namespace whose
// /etc/resolv.conf names a loopback server that reads queries and never
// answers. Names in /etc/hosts still resolve; child processes share all of it.
// Use it before the process starts threads (a suite's SetUpTestSuite); it
// cannot be undone.

#include <string>

namespace testsupport {

class HangingResolver {
 public:
  HangingResolver();
  ~HangingResolver();
  HangingResolver(const HangingResolver&) = delete;
  HangingResolver& operator=(const HangingResolver&) = delete;

  // A name only DNS could answer.
  static constexpr const char* hangingName = "never-answered.example.test";

 private:
  int socket_ = -1;
  std::string file_;
};

}  // namespace testsupport
