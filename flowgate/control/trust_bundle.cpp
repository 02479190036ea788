#include "flowgate/control/trust_bundle.hpp"

#include "runtime/base64.hpp"
#include "runtime/json_codec.hpp"

#include <string_view>

namespace flowgate {

namespace {

// The length of the line break at `at`, or 0: LF, CR, CRLF, VT, FF and the
// UTF-8 forms of NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR.
std::size_t lineBreakAt(std::string_view text, std::size_t at) {
  static constexpr std::string_view breaks[] = {"\r\n", "\n",       "\r",           "\v",
                                                "\f",   "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};
  for (auto mark : breaks) {
    if (text.substr(at).starts_with(mark)) return mark.size();
  }
  return 0;
}

Certificate certificateFromPEM(std::string_view pem) {
  std::string body;
  std::size_t start = 0;
  std::size_t at = 0;
  while (at <= pem.size()) {
    auto breakLength = at < pem.size() ? lineBreakAt(pem, at) : 1;
    if (breakLength == 0) {
      ++at;
      continue;
    }
    auto line = pem.substr(start, at - start);
    if (!line.starts_with("---")) body += line;
    at += breakLength;
    start = at;
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
