#pragma once

// The path monitor on rtnetlink: one socket on the link, IPv4 address and IPv4
// route groups. A burst of notifications is settled first: the interfaces are
// read and published once the socket has been quiet for the debounce time.
// Our own routes (by protocol tag or table) and anything on an ignored
// interface are not changes, except an ignored link going down or coming back
// up (published in NetworkPath::ownInterfaces; one that went down and came back
// within one burst is published down first); our rule is not watched at all. The socket
// belongs to the network namespace current when the monitor is made.

#include "platform/netlink_socket.hpp"
#include "platform/path_monitor.hpp"
#include "runtime/async.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace platform {

class NetlinkPathMonitor final : public PathMonitor {
 public:
  struct Options {
    std::chrono::milliseconds debounce{250};
    std::filesystem::path sysfsNet = "/sys/class/net";
  };

  NetlinkPathMonitor(const runtime::Executor& executor, Options options);
  explicit NetlinkPathMonitor(const runtime::Executor& executor)
      : NetlinkPathMonitor(executor, Options{}) {}
  ~NetlinkPathMonitor() override;

  void start(Handler handler) override;
  void cancel() override;
  void ignoreInterface(const std::string& name) override;

 private:
  struct State;
  static runtime::Task<void> watch(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
};

}  // namespace platform
