#include "platform/dns_configurator_choice.hpp"

#include "platform/resolvconf_dns.hpp"
#include "platform/resolved_dns.hpp"

namespace platform {

std::unique_ptr<DNSConfigurator> makeDNSConfigurator(const ResolvConfPaths& paths) {
  if (auto resolved = ResolvedClient::connect()) {
    return std::make_unique<ResolvedDNS>(std::move(resolved));
  }
  if (auto program = ResolvconfDNS::find()) return std::make_unique<ResolvconfDNS>(*program);
  return std::make_unique<ResolvConfDNS>(paths);
}

}  // namespace platform
