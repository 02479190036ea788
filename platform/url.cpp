#include "platform/url.hpp"

#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/pchars.hpp>

#include <string>

namespace platform {

namespace urls = boost::urls;

std::optional<urls::url> parseURL(std::string_view text) {
  auto parsed = urls::parse_uri(text);
  if (!parsed) return std::nullopt;
  return urls::url(*parsed);
}

urls::url appendingPath(urls::url_view base, std::string_view path) {
  std::string joined(base.encoded_path());
  while (!joined.empty() && joined.back() == '/') joined.pop_back();
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  joined += '/';
  joined += urls::encode(path, urls::pchars + urls::grammar::lut_chars('/'));
  urls::url result(base);
  result.set_encoded_path(joined);
  return result;
}

std::optional<urls::url> resolveURL(urls::url_view base, std::string_view reference) {
  if (reference.empty() || !base.has_scheme()) return std::nullopt;
  auto parsed = urls::parse_uri_reference(reference);
  if (!parsed) return std::nullopt;
  urls::url result;
  if (!urls::resolve(base, *parsed, result)) return std::nullopt;
  return result;
}

}  // namespace platform
