#include "flowgate/routing/geoip_store.hpp"

#include "flowgate/config/coding.hpp"
#include "flowgate/config/records.hpp"
#include "flowgate/routing/geoip_error.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "platform/atomic_file.hpp"
#include "platform/digest.hpp"
#include "platform/url.hpp"
#include "runtime/json_codec.hpp"

#include <boost/beast/http/error.hpp>

#include <algorithm>
#include <optional>

namespace flowgate {

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

GeoIPStore::GeoIPStore(const runtime::Executor& executor,
                       std::shared_ptr<platform::HttpClient> session,
                       std::filesystem::path directory)
    : Serialized(executor), session_(std::move(session)), directory_(std::move(directory)) {
  try {
    // Private: the daemon's folder also holds its secrets.
    platform::createDirectories(directory_, 0700);
  } catch (const std::exception&) {
    // Reported by the first write into it.
  }
}

runtime::Task<GeoIPTable> GeoIPStore::table() const {
  return serialized(
      [](const GeoIPStore* self) -> runtime::Task<GeoIPTable> { co_return self->table_; }(this));
}

runtime::Task<void> GeoIPStore::setTable(GeoIPTable table) {
  return serialized([](GeoIPStore* self, GeoIPTable replacement) -> runtime::Task<void> {
    self->table_ = std::move(replacement);
    co_return;
  }(this, std::move(table)));
}

runtime::Task<GeoIPTable> GeoIPStore::update(std::string baseURL) {
  return serialized(doUpdate(std::move(baseURL)));
}

GeoIPTable GeoIPStore::decode(std::span<const std::uint8_t> bytes) { return geoip::decode(bytes); }

runtime::Task<GeoIPTable> GeoIPStore::doUpdate(std::string baseURL) {
  auto base = platform::parseURL(baseURL);
  if (!base) runtime::fail(GeoIPError::unavailable);

  auto manifestURL = platform::appendingPath(*base, manifestPath);
  auto manifestResponse = co_await session_->get(std::move(manifestURL));
  if (manifestResponse.status != 200) runtime::fail(GeoIPError::unavailable);
  auto manifest =
      runtime::json::decodeText<ExtensionGeoIPManifest>(manifestResponse.body, controlServerForm);

  std::optional<GeoIPTable> cached;
  try {
    // Bounded by the largest table: anything bigger cannot decode anyway.
    if (auto bytes = platform::readFileNoFollow(cachePath(), geoip::maxFileSize)) {
      cached = decode(bytesOf(*bytes));
    }
  } catch (const std::exception&) {
    // Unreadable or corrupt: downloaded again below.
  }
  if (cached && cached->version() == manifest.version) co_return *cached;

  auto fileURL = platform::resolveURL(*base, manifest.url);
  if (!fileURL) runtime::fail(GeoIPError::unavailable);

  platform::HttpRequest request;
  request.url = std::move(*fileURL);
  // A server that sends more than it announced is cut off at the announced size.
  request.maxBodySize = static_cast<std::size_t>(std::max<std::int64_t>(manifest.sizeBytes, 0));
  platform::HttpResponse file;
  try {
    file = co_await session_->send(std::move(request));
  } catch (const runtime::SystemError& e) {
    if (e.code() == boost::beast::http::error::body_limit) runtime::fail(GeoIPError::unavailable);
    throw;
  }
  if (file.status != 200 || static_cast<std::int64_t>(file.body.size()) != manifest.sizeBytes) {
    runtime::fail(GeoIPError::unavailable);
  }
  if (platform::sha256Hex(bytesOf(file.body)) != manifest.sha256) {
    runtime::fail(GeoIPError::checksumMismatch);
  }
  auto table = decode(bytesOf(file.body));
  if (table.version() != manifest.version) runtime::fail(GeoIPError::invalidFormat);

  platform::writeFileAtomically(cachePath(), file.body, 0644);
  co_return table;
}

}  // namespace flowgate
