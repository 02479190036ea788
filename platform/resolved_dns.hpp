#pragma once

// DNS through systemd-resolved: the tunnel link gets the servers, the routing
// domain "~." and the default route, so every name is asked there; revert hands
// the link back to resolved's defaults. The link vanishes with the device, so
// a crashed daemon leaves nothing behind.

#include "platform/dns_configurator.hpp"
#include "platform/resolved_client.hpp"

#include <memory>

namespace platform {

class ResolvedDNS final : public DNSConfigurator {
 public:
  explicit ResolvedDNS(std::unique_ptr<ResolvedClient> client);

  void apply(const std::string& interfaceName, int interfaceIndex,
             const DNSSettings& settings) override;
  void revert() override;
  void removeLeftovers() override {}

 private:
  std::unique_ptr<ResolvedClient> client_;
  int linkIndex_ = 0;  // of the link we set, 0 when none
};

}  // namespace platform
