#include "testbed/control/geoip_publication.hpp"

#include "runtime/json_codec.hpp"
#include "testbed/control/lab_file.hpp"
#include "testbed/geoip/geoip_manifest.hpp"

#include <stdexcept>

namespace testbed {

namespace {

std::string defaultURL(std::uint64_t version) {
  return "/v1/geoip/tables/" + std::to_string(version) + ".bin";
}

}  // namespace

std::string urlPath(const std::string& url) {
  if (auto scheme = url.find("://"); scheme != std::string::npos) {
    auto path = url.find('/', scheme + 3);
    return path == std::string::npos ? "/" : url.substr(path);
  }
  return url.starts_with("/") ? url : "/" + url;
}

GeoIPPublication::GeoIPPublication(std::vector<std::uint8_t> file,
                                   std::optional<flowgate::ExtensionGeoIPManifest> manifest,
                                   std::string builtAt)
    : file_(std::move(file)) {
  flowgate::ExtensionGeoIPManifest described;
  try {
    described = describeGeoIPFile(file_, "", std::move(builtAt));
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("GeoIP table does not decode: ") + e.what());
  }
  if (manifest) {
    if (manifest->version != described.version || manifest->sha256 != described.sha256 ||
        manifest->sizeBytes != described.sizeBytes ||
        manifest->directCidrCount != described.directCidrCount ||
        manifest->routeCount != described.routeCount) {
      throw std::runtime_error("GeoIP manifest does not describe the table file");
    }
    manifest_ = std::move(*manifest);
  } else {
    manifest_ = std::move(described);
    manifest_.url = defaultURL(manifest_.version);
  }
  filePath_ = urlPath(manifest_.url);
}

GeoIPPublication GeoIPPublication::fromFiles(const std::filesystem::path& table,
                                             const std::optional<std::filesystem::path>& manifest,
                                             std::string builtAt) {
  auto text = readTextFile(table);
  std::optional<flowgate::ExtensionGeoIPManifest> announced;
  if (manifest) {
    announced = runtime::json::decodeText<flowgate::ExtensionGeoIPManifest>(
        readTextFile(*manifest), runtime::json::KeyStyle::snakeCase);
  }
  return GeoIPPublication(std::vector<std::uint8_t>(text.begin(), text.end()), std::move(announced),
                          std::move(builtAt));
}

GeoIPPublication GeoIPPublication::withVersion(std::uint64_t version, std::string builtAt) const {
  return GeoIPPublication(withGeoIPVersion(file_, version), std::nullopt, std::move(builtAt));
}

}  // namespace testbed
