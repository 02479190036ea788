// Credential verification on arbitrary tokens: only CredentialError may come
// out, and whatever passes must carry a usable tunnel address. The input is also
// tried as the payload part of a token, so the JSON reader gets exercised past
// the base64url layer.

#include "runtime/base64.hpp"
#include "runtime/ipv4.hpp"
#include "testbed/credential/credential.hpp"

#include <cstdlib>

namespace {

void check(std::string_view token, const std::vector<testbed::CredentialKey>& keys) {
  try {
    auto claims = testbed::verifyCredential(token, keys, runtime::Date::fromUnixSeconds(1e9));
    if (!runtime::ipv4::ipv4Value(claims.vpnIPv4)) std::abort();
  } catch (const runtime::SystemError& e) {
    if (e.code().category() !=
        testbed::make_error_code(testbed::CredentialError::malformed).category()) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<testbed::CredentialKey> keys{
      testbed::publishedKey("k", testbed::Ed25519PublicKey{}, 0, 4'000'000'000)};
  std::string_view input(reinterpret_cast<const char*>(data), size);
  check(input, keys);
  auto asPayload = runtime::base64::encodeURL(std::span(data, size)) + "." +
                   runtime::base64::encodeURL(std::vector<std::uint8_t>(64, 0));
  check(asPayload, keys);
  return 0;
}
