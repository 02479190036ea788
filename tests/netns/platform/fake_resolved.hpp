#pragma once

// A private D-Bus daemon with a scripted stand-in for systemd-resolved on it:
// the Manager calls the DNS backend makes, recorded, and the DNS property the
// resolver lookup reads. The host's buses are never touched.

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace testsupport {

class FakeResolved {
 public:
  struct Link {
    std::vector<std::string> servers;
    std::vector<std::pair<std::string, bool>> domains;
    bool defaultRoute = false;
  };

  FakeResolved();
  ~FakeResolved();
  FakeResolved(const FakeResolved&) = delete;
  FakeResolved& operator=(const FakeResolved&) = delete;

  const std::string& address() const { return address_; }

  void setGlobalServers(std::vector<std::string> servers);
  void setLinkServers(int link, std::vector<std::string> servers);
  std::map<int, Link> links() const;
  std::vector<int> reverted() const;

 private:
  friend struct FakeResolvedCalls;
  void serve();

  std::string directory_;
  std::string address_;
  pid_t daemon_ = -1;
  mutable std::mutex mutex_;
  std::vector<std::string> global_;
  std::map<int, Link> links_;
  std::vector<int> reverted_;
  bool stopping_ = false;
  bool ready_ = false;
  std::string failure_;
  std::thread thread_;
};

}  // namespace testsupport
