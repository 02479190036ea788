#include "platform/resolvconf_dns.hpp"

#include "platform/atomic_file.hpp"
#include "platform/process.hpp"

#include <unistd.h>

namespace platform {

ResolvconfDNS::ResolvconfDNS(std::filesystem::path program, std::filesystem::path stateFile)
    : program_(std::move(program)), stateFile_(std::move(stateFile)) {}

std::optional<std::filesystem::path> ResolvconfDNS::find() {
  for (const char* candidate :
       {"/usr/sbin/resolvconf", "/sbin/resolvconf", "/usr/bin/resolvconf"}) {
    if (::access(candidate, X_OK) == 0) return std::filesystem::path(candidate);
  }
  return std::nullopt;
}

void ResolvconfDNS::apply(const std::string& interfaceName, int, const DNSSettings& settings) {
  std::string record;
  for (const auto& server : settings.servers) {
    if (isIPAddressLiteral(server)) record += "nameserver " + server + "\n";
  }
  if (!interfaceName_.empty() && interfaceName_ != interfaceName) revert();
  // Remembered before the record exists, so a crash in between leaves no
  // record without its name.
  createDirectories(stateFile_.parent_path(), 0700);
  writeFileAtomically(stateFile_, interfaceName, 0600);
  runProgram({program_.string(), "-a", interfaceName}, record);
  interfaceName_ = interfaceName;
}

void ResolvconfDNS::revert() {
  if (interfaceName_.empty()) return;
  runProgram({program_.string(), "-d", interfaceName_});
  interfaceName_.clear();
  std::filesystem::remove(stateFile_);
}

void ResolvconfDNS::removeLeftovers() {
  auto name = readFileNoFollow(stateFile_);
  if (!name || name->empty()) return;
  interfaceName_ = *name;
  revert();
}

}  // namespace platform
