#include "flowgate/control/trust_bundle.hpp"

#include "runtime/base64.hpp"
#include "runtime/json_codec.hpp"

#include <string_view>

namespace flowgate {

namespace {

Certificate certificateFromPEM(std::string_view pem) {
  std::string body;
  std::size_t start = 0;
  while (start <= pem.size()) {
    auto end = pem.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = pem.size();
    auto line = pem.substr(start, end - start);
    if (!line.starts_with("---")) body += line;
    start = end + 1;
  }
  auto der = runtime::base64::decode(body);
  if (!der || der->empty()) return nullptr;
  const unsigned char* cursor = der->data();
  Certificate certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der->size())));
  // Trailing bytes after the certificate make the entry invalid.
  if (certificate && cursor != der->data() + der->size()) return nullptr;
  return certificate;
}

}  // namespace

std::vector<Certificate> certificates(const TrustBundle& bundle) {
  std::vector<Certificate> result;
  for (const auto& pem : bundle.nodeTlsCaCertificates) {
    if (auto certificate = certificateFromPEM(pem)) result.push_back(std::move(certificate));
  }
  if (result.empty() || result.size() != bundle.nodeTlsCaCertificates.size()) {
    runtime::fail(TrustStoreError::invalidBundle);
  }
  return result;
}

TrustBundle decodeTrustBundle(std::span<const std::uint8_t> json) {
  auto bundle = runtime::json::decodeText<TrustBundle>(
      std::string_view(reinterpret_cast<const char*>(json.data()), json.size()),
      runtime::json::KeyStyle::snakeCase);
  if (bundle.version == 0 || bundle.nodeTlsCaCertificates.empty() ||
      bundle.deviceCredentialKeys.empty()) {
    runtime::fail(TrustStoreError::invalidBundle);
  }
  certificates(bundle);
  return bundle;
}

}  // namespace flowgate
