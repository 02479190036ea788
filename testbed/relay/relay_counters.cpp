#include "testbed/relay/relay_counters.hpp"

namespace testbed {

std::string formatCounters(const RelayCounters& c) {
  auto field = [](const char* name, std::uint64_t value) {
    return std::string(name) + "=" + std::to_string(value);
  };
  return field("connections", c.connections) + " " + field("active", c.active) + " " +
         field("tls_failures", c.tlsFailures) + " " + field("authentications", c.authentications) +
         " " + field("refused", c.refused) + " " + field("bytes_in", c.bytesFromClients) + " " +
         field("bytes_out", c.bytesToClients) + " " + field("dropped", c.packetsDropped);
}

}  // namespace testbed
