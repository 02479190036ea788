#include "platform/dns_configurator_choice.hpp"

#include "platform/resolvconf_dns.hpp"
#include "platform/resolved_dns.hpp"

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>

namespace platform {

namespace {

// Only resolved's stub addresses: a file that also names another server lets
// glibc ask that one around resolved.
bool namesOnlyResolvedStub(std::string_view content) {
  std::istringstream lines{std::string(content)};
  std::string line;
  bool any = false;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (!(words >> keyword >> address) || keyword != "nameserver") continue;
    if (address != "127.0.0.53" && address != "127.0.0.54") return false;
    any = true;
  }
  return any;
}

// resolvconf (Debian's and openresolv) heads the file it writes with a
// comment naming itself.
bool carriesResolvconfHeader(std::string_view content) {
  std::istringstream lines{std::string(content)};
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    if (line[0] != '#' && line[0] != ';') return false;
    if (line.find("resolvconf") != std::string::npos) return true;
  }
  return false;
}

}  // namespace

ResolvConfOwner resolvConfOwner(const std::optional<std::filesystem::path>& linkTarget,
                                std::string_view content) {
  if (linkTarget && linkTarget->filename() == "stub-resolv.conf") {
    return ResolvConfOwner::resolvedStub;
  }
  if (namesOnlyResolvedStub(content)) return ResolvConfOwner::resolvedStub;
  if (linkTarget && linkTarget->string().find("run/resolvconf/") != std::string::npos) {
    return ResolvConfOwner::resolvconf;
  }
  if (carriesResolvconfHeader(content)) return ResolvConfOwner::resolvconf;
  return ResolvConfOwner::other;
}

DNSBackend chooseDNSBackend(const DNSHostFacts& facts) {
  if (facts.resolvConf == ResolvConfOwner::resolvedStub && facts.resolvedOnBus) {
    return DNSBackend::resolved;
  }
  if (facts.resolvConf == ResolvConfOwner::resolvconf && facts.resolvconfInstalled) {
    return DNSBackend::resolvconf;
  }
  return DNSBackend::file;
}

std::unique_ptr<DNSConfigurator> makeDNSConfigurator(const ResolvConfPaths& paths) {
  std::optional<std::filesystem::path> linkTarget;
  std::error_code error;
  if (std::filesystem::is_symlink(paths.file, error)) {
    auto target = std::filesystem::read_symlink(paths.file, error);
    if (!error) linkTarget = target;
  }
  std::ifstream in(paths.file, std::ios::binary);
  std::string content{std::istreambuf_iterator<char>(in), {}};
  auto program = ResolvconfDNS::find();
  // Asked only when the file points at it: no bus call on other hosts.
  auto owner = resolvConfOwner(linkTarget, content);
  auto resolved = owner == ResolvConfOwner::resolvedStub ? ResolvedClient::connect() : nullptr;
  switch (chooseDNSBackend({owner, resolved != nullptr, program.has_value()})) {
    case DNSBackend::resolved: return std::make_unique<ResolvedDNS>(std::move(resolved));
    case DNSBackend::resolvconf: return std::make_unique<ResolvconfDNS>(*program);
    case DNSBackend::file: break;
  }
  return std::make_unique<ResolvConfDNS>(paths);
}

}  // namespace platform
