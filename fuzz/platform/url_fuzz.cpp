// The URL parser on arbitrary text: an accepted URL reads back as itself, and
// appending the services' paths to it or resolving references against it never
// fails.

#include "platform/url.hpp"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto url = platform::parseURL(text);
  if (!url) return 0;
  platform::resolveURL(*url, text);
  platform::resolveURL(*url, "t.bin");
  auto again = platform::parseURL(url->buffer());
  if (!again || again->buffer() != url->buffer()) std::abort();
  auto joined = platform::appendingPath(*url, "/v1/trust-bundle");
  if (joined.encoded_path().empty()) std::abort();
  return 0;
}
