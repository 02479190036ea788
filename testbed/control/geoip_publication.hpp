#pragma once

// The GeoIP table the control server offers: the file's bytes and the manifest
// that announces them. The file is served at the path of the manifest's url.

#include "flowgate/config/records.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testbed {

class GeoIPPublication {
 public:
  // From a table file and, when given, the manifest the builder wrote for it;
  // without one the manifest is made from the file. Throws std::runtime_error
  // when the file does not decode or the manifest does not describe it.
  static GeoIPPublication fromFiles(const std::filesystem::path& table,
                                    const std::optional<std::filesystem::path>& manifest,
                                    std::string builtAt);
  GeoIPPublication(std::vector<std::uint8_t> file,
                   std::optional<flowgate::ExtensionGeoIPManifest> manifest, std::string builtAt);

  const flowgate::ExtensionGeoIPManifest& manifest() const { return manifest_; }
  const std::vector<std::uint8_t>& file() const { return file_; }
  // The request path the file is served at.
  const std::string& filePath() const { return filePath_; }

  // The same records under another version, at its own url.
  GeoIPPublication withVersion(std::uint64_t version, std::string builtAt) const;

 private:
  std::vector<std::uint8_t> file_;
  flowgate::ExtensionGeoIPManifest manifest_;
  std::string filePath_;
};

// The path of a manifest url: the url itself when it is a path, the part after
// the host of an absolute url, "/" + url for a relative one.
std::string urlPath(const std::string& url);

}  // namespace testbed
