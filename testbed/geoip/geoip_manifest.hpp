#pragma once

// The manifest that announces a GeoIP table file: its version, SHA-256 digest,
// size and counts, read from the file's own bytes.

#include "flowgate/config/records.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace testbed {

// Decodes `file` (throws GeoIPError::invalidFormat when it is not a well-formed
// table) and describes it.
flowgate::ExtensionGeoIPManifest describeGeoIPFile(std::span<const std::uint8_t> file,
                                                   std::string url, std::string builtAt);

// The same table file under another version: same records, new header.
std::vector<std::uint8_t> withGeoIPVersion(std::span<const std::uint8_t> file,
                                           std::uint64_t version);

// The manifest in the control server's form (snake_case keys).
std::string manifestJSON(const flowgate::ExtensionGeoIPManifest& manifest);

}  // namespace testbed
