#pragma once

// What a relay has seen since it started, read through its control channel.

#include <cstdint>
#include <string>

namespace testbed {

struct RelayCounters {
  std::uint64_t connections = 0;       // TCP connections accepted
  std::uint64_t active = 0;            // connections open now
  std::uint64_t tlsFailures = 0;       // handshakes that failed (TLS 1.2 clients, ...)
  std::uint64_t authentications = 0;   // authRequests accepted and answered
  std::uint64_t refused = 0;           // closed without an answer after the handshake
  std::uint64_t bytesFromClients = 0;  // data phase, after TLS
  std::uint64_t bytesToClients = 0;
  std::uint64_t packetsDropped = 0;  // not from the credential's tunnel address, or unusable
};

// One line: "connections=N active=N tls_failures=N authentications=N refused=N
// bytes_in=N bytes_out=N dropped=N".
std::string formatCounters(const RelayCounters& counters);

}  // namespace testbed
