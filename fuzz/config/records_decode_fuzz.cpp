// The configuration records as the control server's answers carry them
// (snake_case keys) and as the app hands them over (field names), on arbitrary
// text: decoding either fails with an error code or gives a record whose
// encoding decodes to the same encoding.

#include "flowgate/config/records.hpp"
#include "runtime/error.hpp"
#include "runtime/json_codec.hpp"

#include <boost/json/serialize.hpp>

#include <cstdlib>
#include <string_view>

namespace {

template <class Record>
void roundTrip(std::string_view text, runtime::json::KeyStyle style) {
  try {
    auto record = runtime::json::decodeText<Record>(text, style);
    auto encoded = boost::json::serialize(runtime::json::encode(record));
    auto again = runtime::json::decodeText<Record>(encoded);
    if (boost::json::serialize(runtime::json::encode(again)) != encoded) std::abort();
  } catch (const runtime::SystemError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  using runtime::json::KeyStyle;
  roundTrip<flowgate::ExtensionConfig>(text, KeyStyle::snakeCase);
  roundTrip<flowgate::ExtensionBootstrap>(text, KeyStyle::exact);
  roundTrip<flowgate::ExtensionGeoIPManifest>(text, KeyStyle::snakeCase);
  return 0;
}
