#include "testbed/geoip/geoip_manifest.hpp"

#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "platform/digest.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/key_case.hpp"

#include <stdexcept>

namespace testbed {

flowgate::ExtensionGeoIPManifest describeGeoIPFile(std::span<const std::uint8_t> file,
                                                   std::string url, std::string builtAt) {
  auto table = flowgate::geoip::decode(file);
  flowgate::ExtensionGeoIPManifest manifest;
  manifest.version = table.version();
  manifest.sha256 = platform::sha256Hex(file);
  manifest.sizeBytes = static_cast<std::int64_t>(file.size());
  manifest.directCidrCount = static_cast<std::int64_t>(table.directCIDRs().size());
  manifest.routeCount = static_cast<std::int64_t>(table.routes().size());
  manifest.builtAt = std::move(builtAt);
  manifest.url = std::move(url);
  return manifest;
}

std::vector<std::uint8_t> withGeoIPVersion(std::span<const std::uint8_t> file,
                                           std::uint64_t version) {
  auto table = flowgate::geoip::decode(file);
  std::vector<flowgate::geoip::DirectRecord> direct;
  direct.reserve(table.directCIDRs().size());
  for (const auto& cidr : table.directCIDRs()) {
    direct.push_back(*flowgate::geoip::DirectRecord::fromCidr(cidr));
  }
  return flowgate::geoip::encode(version, direct, table.routes());
}

std::string manifestJSON(const flowgate::ExtensionGeoIPManifest& manifest) {
  return boost::json::serialize(runtime::withSnakeCaseKeys(runtime::json::encode(manifest)));
}

}  // namespace testbed
