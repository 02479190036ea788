#pragma once

// The relay's command line:
//
//   testbed-relay --listen ADDR:PORT --cert FILE --key FILE --node-ca FILE
//                 --credential-keys FILE [--control PATH] [--exit echo|tun]
//                 echo: [--dns ADDR --dns-upstream ADDR:PORT]
//                 tun:  [--tun-name NAME] [--tun-address ADDR/PREFIX] [--tun-mtu N]

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testbed {

enum class ExitMode { echo, tun };

struct Endpoint {
  std::uint32_t address;
  std::uint16_t port;
};

struct RelayOptions {
  Endpoint listen{};
  std::string certificateFile;
  std::string keyFile;
  std::string nodeCAFile;
  std::string credentialKeysFile;
  std::optional<std::string> controlSocket;
  ExitMode exit = ExitMode::echo;
  std::optional<std::uint32_t> dnsAddress;
  std::optional<Endpoint> dnsUpstream;
  std::string tunName = "vkrelay%d";
  std::optional<std::pair<std::uint32_t, unsigned>> tunAddress;
  int tunMTU = 1500;
};

extern const char* const relayUsage;

// Throws std::invalid_argument with the reason.
RelayOptions parseRelayOptions(const std::vector<std::string>& arguments);

}  // namespace testbed
