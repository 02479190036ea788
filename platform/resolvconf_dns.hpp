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
  explicit ResolvconfDNS(std::filesystem::path program);

  // The program on the usual paths, if the machine has one.
  static std::optional<std::filesystem::path> find();

  void apply(const std::string& interfaceName, int interfaceIndex,
             const DNSSettings& settings) override;
  void revert() override;
  // A crashed daemon's record is gone with its interface at resolvconf's next
  // update; nothing to do.
  void removeLeftovers() override {}

 private:
  std::filesystem::path program_;
  std::string interfaceName_;  // of the record in place, empty when none
};

}  // namespace platform
