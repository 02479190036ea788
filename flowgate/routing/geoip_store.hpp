#pragma once

// Keeps the GeoIP table current: reads the control server's manifest, reuses
// the cached file when it already has the announced version, and otherwise
// downloads the file, checks its length, digest and version, and replaces the
// cache atomically. No failure changes the cached file.

#include "flowgate/routing/geoip_table.hpp"
#include "platform/http_client.hpp"
#include "runtime/async.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace flowgate {

class GeoIPStore : public runtime::Serialized {
 public:
  static constexpr const char* fileName = "geoip.bin";
  static constexpr const char* manifestPath = "/v1/geoip/manifest";

  // Creates `directory` with its parents; a failure is ignored here and
  // surfaces as the write error of the first update that downloads.
  GeoIPStore(const runtime::Executor& executor, std::shared_ptr<platform::HttpClient> session,
             std::filesystem::path directory);

  const std::filesystem::path& directory() const { return directory_; }
  std::filesystem::path cachePath() const { return directory_ / fileName; }

  // The table in force; the store never replaces it itself, its owner installs
  // what update() returns.
  runtime::Task<GeoIPTable> table() const;
  runtime::Task<void> setTable(GeoIPTable table);

  // The current table of the control server at `baseURL`. Throws
  // GeoIPError, the session's transport error, a JSON decoding error, or the
  // cache's write error.
  runtime::Task<GeoIPTable> update(std::string baseURL);

  // The table in a file's bytes; throws GeoIPError::invalidFormat.
  static GeoIPTable decode(std::span<const std::uint8_t> bytes);

 private:
  runtime::Task<GeoIPTable> doUpdate(std::string baseURL);

  std::shared_ptr<platform::HttpClient> session_;
  std::filesystem::path directory_;
  GeoIPTable table_;
};

}  // namespace flowgate
