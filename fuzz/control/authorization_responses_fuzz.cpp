// The control server's refresh, authorization and heartbeat answers and its
// error body on arbitrary bytes: decoding either yields a record or throws, and
// a decoded record survives being written out and read back.

#include "flowgate/control/authorization_messages.hpp"

#include <cstdlib>
#include <exception>
#include <string_view>

namespace {

template <class Response>
void roundTrip(std::string_view body) {
  Response decoded;
  try {
    decoded = flowgate::decodeResponse<Response>(body);
  } catch (const std::exception&) {
    return;
  }
  // The field names read back with the same decoder (keys without underscores match as they are).
  auto again = flowgate::decodeResponse<Response>(runtime::json::encodeText(decoded));
  if (!(again == decoded)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  roundTrip<flowgate::RefreshResult>(body);
  roundTrip<flowgate::AuthorizationResult>(body);
  roundTrip<flowgate::HeartbeatResult>(body);
  // Any error body gives a code; it never throws.
  (void)flowgate::serverErrorCode(body);
  return 0;
}
