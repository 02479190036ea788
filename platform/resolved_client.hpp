#pragma once

// The calls we make to systemd-resolved over D-Bus (sd-bus): the DNS servers it
// knows, per link and global, and the per-link DNS settings of the tunnel.
// Blocking calls, each bounded to two seconds; failures throw system errors
// carrying the bus's errno.

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sd_bus;

namespace platform {

class ResolvedClient {
 public:
  struct Server {
    int linkIndex;  // 0 for a global server
    std::string address;
  };

  // The bus at `address` (empty: the system bus), when resolved is on it.
  static std::unique_ptr<ResolvedClient> connect(const std::string& address = {});
  ~ResolvedClient();
  ResolvedClient(const ResolvedClient&) = delete;
  ResolvedClient& operator=(const ResolvedClient&) = delete;

  // Every server resolved uses, IPv4 and IPv6, in its order.
  std::vector<Server> servers();

  void setLinkDNS(int linkIndex, const std::vector<std::string>& addresses);
  // Each domain with its routing-only flag ("~." routes every name here).
  void setLinkDomains(int linkIndex, const std::vector<std::pair<std::string, bool>>& domains);
  void setLinkDefaultRoute(int linkIndex, bool enabled);
  void revertLink(int linkIndex);

 private:
  explicit ResolvedClient(sd_bus* bus) : bus_(bus) {}
  sd_bus* bus_;
};

}  // namespace platform
