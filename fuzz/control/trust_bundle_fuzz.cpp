// The trust bundle as downloaded, on arbitrary bytes: decoding and building
// its certificates either fail with an error code or give certificates for
// every entry.

#include "flowgate/control/trust_bundle.hpp"
#include "runtime/error.hpp"

#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    auto bundle = flowgate::decodeTrustBundle(std::span(data, size));
    auto anchors = flowgate::certificates(bundle);
    if (anchors.size() != bundle.nodeTlsCaCertificates.size()) std::abort();
    for (const auto& anchor : anchors) {
      if (!anchor) std::abort();
    }
  } catch (const runtime::SystemError&) {
  }
  return 0;
}
