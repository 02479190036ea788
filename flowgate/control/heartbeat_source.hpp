#pragma once

// What the session pool asks of the authorization service: a heartbeat for the
// bootstrap in force, which yields a new bootstrap when it had to re-authorize.
// The pool depends on this alone, so it can be driven by a scripted service.

#include "flowgate/config/records.hpp"
#include "runtime/async.hpp"

#include <optional>

namespace flowgate {

class HeartbeatSource {
 public:
  virtual ~HeartbeatSource() = default;
  virtual runtime::Task<std::optional<ExtensionBootstrap>> heartbeat(
      ExtensionBootstrap current) = 0;
};

}  // namespace flowgate
