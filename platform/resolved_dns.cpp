#include "platform/resolved_dns.hpp"

namespace platform {

ResolvedDNS::ResolvedDNS(std::unique_ptr<ResolvedClient> client) : client_(std::move(client)) {}

void ResolvedDNS::apply(const std::string&, int interfaceIndex, const DNSSettings& settings) {
  if (linkIndex_ != 0 && linkIndex_ != interfaceIndex) revert();
  std::vector<std::pair<std::string, bool>> domains;
  for (const auto& domain : settings.matchDomains) {
    // The empty match domain means every name: resolved spells it "~.".
    domains.emplace_back(domain.empty() ? "." : domain, true);
  }
  if (domains.empty()) domains.emplace_back(".", true);
  // Domains and default route before the servers, so no name is asked of the
  // servers under an older routing.
  client_->setLinkDomains(interfaceIndex, domains);
  client_->setLinkDefaultRoute(interfaceIndex, true);
  std::vector<std::string> servers;
  for (const auto& server : settings.servers) {
    if (isIPAddressLiteral(server)) servers.push_back(server);
  }
  client_->setLinkDNS(interfaceIndex, servers);
  linkIndex_ = interfaceIndex;
}

void ResolvedDNS::revert() {
  if (linkIndex_ == 0) return;
  client_->revertLink(linkIndex_);
  linkIndex_ = 0;
}

}  // namespace platform
