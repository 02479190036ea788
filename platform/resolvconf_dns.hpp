#pragma once

// DNS through the resolvconf program, which merges the records of every
// interface into the resolver file: ours goes in under the tunnel interface's
// name and leaves by the same name.

#include "platform/dns_configurator.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

class ResolvconfDNS final : public DNSConfigurator {
 public:
  // `stateFile` remembers the record's name while it is in place, for the
  // next start after a crash.
  explicit ResolvconfDNS(std::filesystem::path program,
                         std::filesystem::path stateFile = "/var/lib/veskar/resolvconf.record");

  // The program on the usual paths, if the machine has one.
  static std::optional<std::filesystem::path> find();

  void apply(const std::string& interfaceName, int interfaceIndex,
             const DNSSettings& settings) override;
  void revert() override;
  // resolvconf keeps a record after its interface is gone; a crashed daemon's
  // record is taken out by the name it left in the state file.
  void removeLeftovers() override;

 private:
  std::filesystem::path program_;
  std::filesystem::path stateFile_;
  std::string interfaceName_;  // of the record in place, empty when none
};

}  // namespace platform
