#pragma once

// Reachability of a path's first hop: the time a TCP handshake takes. Nothing
// is sent; the connection is closed as soon as it is up.

#include "runtime/async.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace veskar {

class NodeProbe {
 public:
  // The whole milliseconds from the start of the attempt (name resolution
  // included) until the connection was up. Nothing when `port` is no decimal
  // port number (then without any attempt), when the connection fails, or when
  // `timeout` passes first. Each probe runs on a strand of its own.
  static runtime::Task<std::optional<std::int64_t>> measure(const runtime::Executor& executor,
                                                            std::string host, std::string port,
                                                            std::chrono::milliseconds timeout);

  // The node list's latency text: "<ms> ms" below a second, else the seconds
  // with one decimal ("1.0 s").
  static std::string latencyText(std::int64_t milliseconds);
};

}  // namespace veskar
