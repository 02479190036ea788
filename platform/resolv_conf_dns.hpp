#pragma once

// DNS through the resolver file itself, for machines without a resolver
// service: the original is saved first, ours is written in its place, and the
// original comes back at revert or at the next start after a crash. A file that
// someone else wrote over ours is theirs: it is never overwritten by the saved
// copy, and the next apply (or reassert) saves it as the new original.

#include "platform/dns_configurator.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

struct ResolvConfPaths {
  std::filesystem::path file = "/etc/resolv.conf";
  std::filesystem::path backup = "/var/lib/veskar/resolv.conf.original";
};

// The first line of every file we write, by which a later start knows it.
inline constexpr const char* kResolvConfMarker =
    "# Written by flowgate while the tunnel runs; the original is restored at its end.";

class ResolvConfDNS final : public DNSConfigurator {
 public:
  explicit ResolvConfDNS(ResolvConfPaths paths = {});

  void apply(const std::string& interfaceName, int interfaceIndex,
             const DNSSettings& settings) override;
  void revert() override;
  void removeLeftovers() override;
  std::optional<std::filesystem::path> watchedFile() const override { return paths_.file; }
  void reassert() override;

  // The resolver file as the system had it: the saved original while ours is in
  // place, else the file. Nothing when neither can be read.
  static std::optional<std::string> originalContent(const ResolvConfPaths& paths);

 private:
  bool fileIsOurs() const;
  void restore();

  ResolvConfPaths paths_;
  std::optional<DNSSettings> applied_;
};

}  // namespace platform
