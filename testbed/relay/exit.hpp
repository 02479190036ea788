#pragma once

// Where an exit node's packets go. A session in its data phase attaches with its
// credential's tunnel address and the queue towards its client; the exit sends
// answers to that queue for as long as the session stays attached.

#include "runtime/bytes.hpp"
#include "testbed/relay/outbound.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace testbed {

class Exit {
 public:
  virtual ~Exit() = default;
  virtual void attach(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient) = 0;
  virtual void detach(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient) = 0;
  // Packets from the client, each already checked to come from `tunnelAddress`.
  // Returns how many were dropped as unusable.
  virtual std::size_t send(std::uint32_t tunnelAddress, const std::shared_ptr<Outbound>& toClient,
                           std::span<const runtime::SharedBytes> packets) = 0;
  virtual void stop() = 0;
};

}  // namespace testbed
