// The frame header check and the authRequest payload reader on arbitrary bytes:
// accepted headers must satisfy the limits, and parsing must never overrun.

#include "flowgate/transport/frame.hpp"
#include "runtime/error.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= flowgate::Frame::headerSize) {
    try {
      auto header = flowgate::checkFrameHeader(std::span<const std::uint8_t, 6>(data, 6));
      if (header.payloadLength > flowgate::Frame::maxLength - flowgate::Frame::headerSize ||
          data[4] != 1 || (data[5] != 1 && data[5] != 2)) {
        std::abort();
      }
    } catch (const runtime::SystemError&) {
    }
  }
  try {
    auto request = flowgate::parseAuthRequestPayload(std::span(data, size));
    if (2 + request.credential.size() + 6 * request.hops.size() != size) std::abort();
    auto rebuilt = flowgate::authRequestPayload(
        request.credential,
        std::vector<flowgate::HopEndpoint>(request.hops.rbegin(), request.hops.rend()));
    if (!std::equal(rebuilt.begin(), rebuilt.end(), data)) std::abort();
  } catch (const runtime::SystemError&) {
  }
  return 0;
}
