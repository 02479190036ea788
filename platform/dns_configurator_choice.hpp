#pragma once

// The DNS facility of this machine, chosen when the daemon starts from what
// the host shows. Link DNS set through systemd-resolved only counts when the
// resolver file sends every lookup to resolved's stub; resolvconf only when it
// writes the resolver file (the file is its link or carries its header).
// Anything else gets the resolver file itself, which always takes effect.

#include "platform/dns_configurator.hpp"
#include "platform/resolv_conf_dns.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace platform {

enum class ResolvConfOwner { resolvedStub, resolvconf, other };
enum class DNSBackend { resolved, resolvconf, file };

struct DNSHostFacts {
  ResolvConfOwner resolvConf = ResolvConfOwner::other;
  bool resolvedOnBus = false;
  bool resolvconfInstalled = false;
};

// Who wrote the resolver file, from its symlink target (none for a regular
// file) and its content.
ResolvConfOwner resolvConfOwner(const std::optional<std::filesystem::path>& linkTarget,
                                std::string_view content);

DNSBackend chooseDNSBackend(const DNSHostFacts& facts);

std::unique_ptr<DNSConfigurator> makeDNSConfigurator(const ResolvConfPaths& paths = {});

}  // namespace platform
