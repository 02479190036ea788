#pragma once

// Watches the host's network and publishes its interfaces: once at start, then
// after every settled burst of changes.

#include "platform/network_path.hpp"

#include <functional>
#include <mutex>
#include <string>

namespace platform {

class PathMonitor {
 public:
  using Handler = std::function<void(const NetworkPath&)>;
  virtual ~PathMonitor() = default;
  // The handler runs on the monitor's own serialized executor, one call at a time.
  virtual void start(Handler handler) = 0;
  // Stops watching: no handler call begins afterwards. Any thread, any number
  // of times.
  virtual void cancel() = 0;
  // Changes of this interface (the tunnel's own: its link, addresses and
  // routes) are not network changes.
  virtual void ignoreInterface(const std::string& name) = 0;
};

// A monitor the test drives: publish() calls the handler directly.
class ManualPathMonitor final : public PathMonitor {
 public:
  void start(Handler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void cancel() override {
    std::lock_guard lock(mutex_);
    handler_ = nullptr;
  }
  void ignoreInterface(const std::string&) override {}
  void publish(const NetworkPath& path) {
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
    }
    if (handler) handler(path);
  }
  bool started() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handler_);
  }

 private:
  mutable std::mutex mutex_;
  Handler handler_;
};

}  // namespace platform
