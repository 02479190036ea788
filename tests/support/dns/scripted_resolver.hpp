#pragma once

// A resolver on 127.0.0.1 that answers each datagram with whatever its script
// returns (nothing: stays silent), for replies a real server never sends:
// another id, the QR bit clear, records cut short, an empty datagram.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace dns_test {

class ScriptedResolver {
 public:
  using Script =
      std::function<std::optional<std::vector<std::uint8_t>>(const std::vector<std::uint8_t>&)>;

  explicit ScriptedResolver(Script script);
  ~ScriptedResolver();
  ScriptedResolver(const ScriptedResolver&) = delete;
  ScriptedResolver& operator=(const ScriptedResolver&) = delete;

  std::uint16_t port() const { return port_; }
  // Datagrams received so far.
  int received() const { return received_; }

 private:
  void serve();

  Script script_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> received_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace dns_test
