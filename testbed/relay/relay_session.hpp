#pragma once

// One client connection of a relay: its TLS stream, the onward connection when
// the relay is not the exit, and the queue of bytes towards the client.

#include "testbed/relay/outbound.hpp"
#include "testbed/relay/tls.hpp"

#include <cstdint>
#include <memory>
#include <optional>

namespace testbed {

struct RelaySession {
  RelaySession(std::uint64_t sessionID, TLSStream stream, const runtime::Executor& executor)
      : id(sessionID),
        client(std::move(stream)),
        toClient(std::make_shared<Outbound>(executor)),
        authenticationDeadline(executor) {}

  // Idempotent: closes both connections, which ends every wait on them.
  void close() {
    if (closed) return;
    closed = true;
    toClient->close();
    authenticationDeadline.cancel();
    boost::system::error_code ignored;
    client.lowest_layer().close(ignored);
    if (onward) onward->lowest_layer().close(ignored);
  }

  std::uint64_t id;
  TLSStream client;
  std::optional<TLSStream> onward;
  std::shared_ptr<Outbound> toClient;
  asio::steady_timer authenticationDeadline;
  bool authenticated = false;
  bool closed = false;
};

}  // namespace testbed
