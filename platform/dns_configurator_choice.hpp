#pragma once

// The DNS facility of this machine, chosen when the daemon starts:
// systemd-resolved when it is on the system bus, else resolvconf when it is
// installed, else the resolver file itself.

#include "platform/dns_configurator.hpp"
#include "platform/resolv_conf_dns.hpp"

#include <memory>

namespace platform {

std::unique_ptr<DNSConfigurator> makeDNSConfigurator(const ResolvConfPaths& paths = {});

}  // namespace platform
