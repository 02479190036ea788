#include "testbed/geoip/geoip_manifest.hpp"

#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/key_case.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace testbed {

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 0xf];
  }
  return text;
}

flowgate::ExtensionGeoIPManifest describeGeoIPFile(std::span<const std::uint8_t> file,
                                                   std::string url, std::string builtAt) {
  auto table = flowgate::geoip::decode(file);
  flowgate::ExtensionGeoIPManifest manifest;
  manifest.version = table.version();
  manifest.sha256 = sha256Hex(file);
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
